#include "sim/display/host_imports.h"

#include <cstring>

namespace display_stand_in {
namespace {

template <typename T>
T* at(HMODULE image, DWORD relative_address) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(image) + relative_address);
}

// One slot is one pointer wide (IMAGE_THUNK_DATA of the image's own kind);
// it may lie on a read-only page once the loader has filled it.
bool write_slot(IMAGE_THUNK_DATA* slot, ULONG_PTR function) {
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous)) return false;
  slot->u1.Function = function;
  VirtualProtect(slot, sizeof *slot, previous, &previous);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
  return true;
}

const ImportReplacement* replacement_for(const char* name,
                                         const std::vector<ImportReplacement>& replacements) {
  for (const ImportReplacement& replacement : replacements) {
    if (std::strcmp(replacement.name, name) == 0) return &replacement;
  }
  return nullptr;
}

int replace_in_descriptor(HMODULE host, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                          const std::vector<ImportReplacement>& replacements) {
  // The names are in the lookup table; the loader has overwritten the
  // address table with the addresses.
  if (descriptor.OriginalFirstThunk == 0) return 0;
  const auto* names = at<const IMAGE_THUNK_DATA>(host, descriptor.OriginalFirstThunk);
  auto* slots = at<IMAGE_THUNK_DATA>(host, descriptor.FirstThunk);
  int replaced = 0;
  for (; names->u1.AddressOfData != 0; ++names, ++slots) {
    if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
    const auto* by_name = at<const IMAGE_IMPORT_BY_NAME>(host, static_cast<DWORD>(names->u1.AddressOfData));
    const ImportReplacement* replacement =
        replacement_for(reinterpret_cast<const char*>(by_name->Name), replacements);
    if (replacement != nullptr && write_slot(slots, replacement->function)) ++replaced;
  }
  return replaced;
}

}  // namespace

int replace_imports(HMODULE host, const char* dll, const std::vector<ImportReplacement>& replacements) {
  const auto* dos = at<const IMAGE_DOS_HEADER>(host, 0);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
  const auto* nt = at<const IMAGE_NT_HEADERS>(host, static_cast<DWORD>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE) return 0;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return 0;
  int replaced = 0;
  for (const auto* descriptor = at<const IMAGE_IMPORT_DESCRIPTOR>(host, directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (lstrcmpiA(at<const char>(host, descriptor->Name), dll) == 0)
      replaced += replace_in_descriptor(host, *descriptor, replacements);
  }
  return replaced;
}

}  // namespace display_stand_in
