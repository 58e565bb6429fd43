// wmi_call: one call of the WMI layer from the command line, for scripts.
//   wmi_call read NAMESPACE QUERY PROPERTY
//   wmi_call wait NAMESPACE EVENT_QUERY PROPERTY
//   wmi_call write NAMESPACE CLASS METHOD NAME VALUE
// Prints the text read (ANSI code page) and exits 0, or prints the error's
// message on stderr and exits 1; 2 for bad arguments.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "common/errors.h"
#include "wmi/wmi.h"

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if ((command == "read" || command == "wait") && argc == 5) {
      const std::string text = command == "read" ? WMI_read_property(argv[2], argv[3], argv[4])
                                                 : WMI_wait_for_notification(argv[2], argv[3], argv[4]);
      std::printf("%s\n", text.c_str());
      return 0;
    }
    if (command == "write" && argc == 7) {
      WMI_write_property(argv[2], argv[3], argv[4], argv[5], argv[6]);
      return 0;
    }
  } catch (const Exception& error) {
    std::fprintf(stderr, "%s\n", error.message().c_str());
    return 1;
  } catch (const TextError& error) {
    std::fprintf(stderr, "%s\n", error.text().c_str());
    return 1;
  }
  std::fprintf(stderr,
               "usage: wmi_call read|wait NAMESPACE QUERY PROPERTY\n"
               "       wmi_call write NAMESPACE CLASS METHOD NAME VALUE\n");
  return 2;
}
