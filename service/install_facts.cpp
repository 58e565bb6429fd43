#include "service/install_facts.h"

#include <aclapi.h>

#include "common/errors.h"
#include "service/win32_calls.h"

namespace {

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool starts_without_case(const std::string& text, const char* start) {
  for (std::size_t i = 0; start[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    const char a = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
    const char b = start[i] >= 'a' && start[i] <= 'z' ? static_cast<char>(start[i] - 'a' + 'A') : start[i];
    if (a != b) return false;
  }
  return true;
}

// "C:\..."
bool drive_letter_path(const std::string& path) {
  return path.size() >= 3 && ascii_letter(path[0]) && path[1] == ':' && path[2] == '\\';
}

// "\\server\share\..." and "\\?\UNC\server\share\..." in any case;
// "\\?\C:\..." and "\\.\..." are local.
bool unc_path(const std::string& path) {
  if (path.compare(0, 2, "\\\\") != 0) return false;
  if (starts_without_case(path, "\\\\?\\UNC\\")) return true;
  return path.compare(0, 4, "\\\\?\\") != 0 && path.compare(0, 4, "\\\\.\\") != 0;
}

// "\\?\C:\..." becomes "C:\...", and "." and ".." steps and doubled
// backslashes are resolved, so that the folders cut from the text are the
// path's own.
std::string plain_path(const std::string& path) {
  std::string plain = path;
  if (plain.compare(0, 4, "\\\\?\\") == 0 && drive_letter_path(plain.substr(4))) plain.erase(0, 4);
  char full[MAX_PATH + 1] = "";
  const DWORD length = GetFullPathNameA(plain.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full ? std::string(full, length) : plain;
}

// Whether the drive letter stands for the volume mounted at its root, not
// for a folder (subst, DefineDosDevice): both name the same device.
bool drive_is_a_volume(const std::string& root) {
  const Win32Calls& calls = win32_calls();
  char volume[MAX_PATH] = "";  // "\\?\Volume{...}\"
  if (!calls.get_volume_name_for_volume_mount_point(root.c_str(), volume, sizeof volume)) return false;
  std::string volume_name(volume);
  if (volume_name.size() < 6 || volume_name.compare(0, 4, "\\\\?\\") != 0 || volume_name.back() != '\\')
    return false;
  volume_name = volume_name.substr(4, volume_name.size() - 5);
  char drive_device[MAX_PATH] = "";
  char volume_device[MAX_PATH] = "";
  return calls.query_dos_device(root.substr(0, 2).c_str(), drive_device, sizeof drive_device) != 0 &&
         calls.query_dos_device(volume_name.c_str(), volume_device, sizeof volume_device) != 0 &&
         lstrcmpiA(drive_device, volume_device) == 0;
}

bool volume_keeps_permissions(const std::string& root) {
  DWORD flags = 0;
  if (!win32_calls().get_volume_information(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
    raise_last_os_error();
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// A folder or the file, opened as the object itself: a link's own security
// and attributes, not its target's. Wine 8 reports a Unix symbolic link as a
// reparse point by name only, Windows both ways: either counts. Empty
// security for a link; a volume's root may be one.
ScopedLocalMemory read_object(const std::string& path, bool root, bool* link) {
  const Win32Calls& calls = win32_calls();
  HANDLE raw =
      calls.create_file(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (raw == INVALID_HANDLE_VALUE) raise_last_os_error();
  const ScopedClosedBy<HANDLE> object(raw, calls.close_handle);
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!calls.get_file_information_by_handle(raw, &information)) raise_last_os_error();
  const DWORD by_name = calls.get_file_attributes(path.c_str());
  if (by_name == INVALID_FILE_ATTRIBUTES) raise_last_os_error();
  *link = !root && ((information.dwFileAttributes | by_name) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (*link) return ScopedLocalMemory();
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD error =
      calls.get_security_info(raw, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &security);
  if (error != ERROR_SUCCESS) throw EOSError(error);
  return ScopedLocalMemory(security);
}

// The root ("C:\"), each folder below it and the file, in that order.
std::vector<std::string> path_steps(const std::string& path) {
  std::vector<std::string> steps = {path.substr(0, 3)};
  for (std::string::size_type cut = path.find('\\', 3); cut != std::string::npos;
       cut = path.find('\\', cut + 1))
    steps.push_back(path.substr(0, cut));
  if (path.size() > 3 && path.back() != '\\') steps.push_back(path);
  return steps;
}

std::unique_ptr<BYTE[]> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  const Win32Calls& calls = win32_calls();
  DWORD size = 0;
  calls.get_token_information(token, kind, nullptr, 0, &size);
  if (size == 0) return nullptr;
  auto buffer = std::make_unique<BYTE[]>(size);
  if (!calls.get_token_information(token, kind, buffer.get(), size, &size)) return nullptr;
  return buffer;
}

// Whether Administrators is enabled (not deny-only) among the token's groups.
bool holds_administrators(HANDLE token) {
  const std::unique_ptr<BYTE[]> buffer = token_information(token, TokenGroups);
  if (!buffer) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return false;
  for (DWORD i = 0; i < groups->GroupCount; ++i)
    if (EqualSid(groups->Groups[i].Sid, administrators))
      return (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
             (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
  return false;
}

// This process's user (TOKEN_USER), when its token holds Administrators.
std::unique_ptr<BYTE[]> installing_administrator() {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return nullptr;
  const ScopedClosedBy<HANDLE> token(raw_token, win32_calls().close_handle);
  if (!holds_administrators(token.get())) return nullptr;
  return token_information(token.get(), TokenUser);
}

// A version that cannot be read counts as Vista or later: the stricter rule.
bool running_before_vista() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return win32_calls().get_version_ex(&version) && version.dwMajorVersion < 6;
}

// The drive, then the root, each folder and the file, down to the first link.
void read_drive_and_steps(const std::string& path, TReadPlace* read) {
  TInstallPlace& place = read->place;
  const std::string root = path.substr(0, 3);
  const UINT type = win32_calls().get_drive_type(root.c_str());
  place.on_network = type == DRIVE_REMOTE;
  place.fixed_drive = type == DRIVE_FIXED;
  if (!place.fixed_drive) return;
  if (!drive_is_a_volume(root)) {
    place.drive_of_a_folder = root.substr(0, 2);
    return;
  }
  place.volume_keeps_permissions = volume_keeps_permissions(root);
  if (!place.volume_keeps_permissions) return;
  const std::vector<std::string> steps = path_steps(path);
  if (steps.size() < 2) return;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    bool link = false;
    read->descriptors.push_back(read_object(steps[i], i == 0, &link));
    if (link) {
      place.link = steps[i];
      return;
    }
  }
  place.file_security = read->descriptors.back().get();
  place.folder_security = read->descriptors[steps.size() - 2].get();
  for (std::size_t i = steps.size() - 2; i-- > 0;)
    place.folders_above.emplace_back(steps[i], read->descriptors[i].get());
}

}  // namespace

TReadPlace read_install_place(const std::string& executable) {
  TReadPlace read;
  TInstallPlace& place = read.place;
  const std::string path = unc_path(executable) ? executable : plain_path(executable);
  place.executable = path;
  place.folder = path.substr(0, path.find_last_of('\\'));
  if (place.folder.size() == 2 && place.folder[1] == ':') place.folder += '\\';  // a drive's root
  place.on_network = unc_path(path);
  place.fixed_drive = !place.on_network && drive_letter_path(path);
  if (place.fixed_drive) read_drive_and_steps(path, &read);
  read.installing_account = installing_administrator();
  place.trust.before_vista = running_before_vista();
  if (read.installing_account)
    place.trust.installing_administrator =
        reinterpret_cast<TOKEN_USER*>(read.installing_account.get())->User.Sid;
  return read;
}
