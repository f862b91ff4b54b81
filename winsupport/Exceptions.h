// Exceptions for Windows calls the program cannot do without.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/win32types.h"

namespace velmora::windows_specific {

class ExceptionWindows : public std::runtime_error {
 public:
  explicit ExceptionWindows(const std::string& text) : std::runtime_error(text) {}
  ~ExceptionWindows() override = default;
};

// Carries a Win32 error code and the system's text for it. Constructing it
// for 1073 or 1060 throws the matching specific exception instead.
class ExceptionWin32Wrapper : public ExceptionWindows {
 public:
  explicit ExceptionWin32Wrapper(DWORD code);
  ExceptionWin32Wrapper(const ExceptionWin32Wrapper&) = default;
  ExceptionWin32Wrapper& operator=(const ExceptionWin32Wrapper&) = default;
  ~ExceptionWin32Wrapper() override = default;

  const char* what() const noexcept override { return message.c_str(); }
  virtual DWORD errorCode() const { return code; }

 protected:
  // Builds the message without the service-code check; used by the
  // specific subclasses.
  struct NoDispatch {};
  ExceptionWin32Wrapper(DWORD code, NoDispatch);

 private:
  void buildMessage();

  DWORD code;
  std::string context;
  std::string message;
};

class ExceptionWin32ServiceExists : public ExceptionWin32Wrapper {
 public:
  explicit ExceptionWin32ServiceExists(DWORD code = 1073)
      : ExceptionWin32Wrapper(code, NoDispatch{}) {}
  ~ExceptionWin32ServiceExists() override = default;
};

class ExceptionWin32ServiceDoesNotExist : public ExceptionWin32Wrapper {
 public:
  explicit ExceptionWin32ServiceDoesNotExist(DWORD code = 1060)
      : ExceptionWin32Wrapper(code, NoDispatch{}) {}
  ~ExceptionWin32ServiceDoesNotExist() override = default;
};

}  // namespace velmora::windows_specific
