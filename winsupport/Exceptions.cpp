#include "winsupport/Exceptions.h"

#include <sstream>

#include "platform/errors.h"

namespace velmora::windows_specific {

ExceptionWin32Wrapper::ExceptionWin32Wrapper(DWORD code_)
    : ExceptionWindows(std::string()), code(code_) {
  if (code_ == ERROR_SERVICE_EXISTS) throw ExceptionWin32ServiceExists(code_);
  if (code_ == ERROR_SERVICE_DOES_NOT_EXIST) throw ExceptionWin32ServiceDoesNotExist(code_);
  buildMessage();
}

ExceptionWin32Wrapper::ExceptionWin32Wrapper(DWORD code_, NoDispatch)
    : ExceptionWindows(std::string()), code(code_) {
  buildMessage();
}

void ExceptionWin32Wrapper::buildMessage() {
  std::ostringstream out;
  if (!context.empty()) out << context << ' ';
  char description[512] = {0};
  if (code == ERROR_EXTENDED_ERROR) {
    char provider[512] = {0};
    DWORD providerError = 0;
    WNetGetLastErrorA(&providerError, description, sizeof description, provider,
                      sizeof provider);
    out << provider << ": ";
  } else {
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), description,
                       sizeof description, nullptr) == 0) {
      description[0] = '\0';
    }
  }
  out << description << "(0x" << std::hex << std::nouppercase << code << ")";
  message = out.str();
}

}  // namespace velmora::windows_specific
