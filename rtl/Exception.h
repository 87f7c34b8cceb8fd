// The runtime's exception classes. Every failure of the system is one of these: it carries a
// readable message and reports its class name, since both appear in logged texts.
#pragma once

#include <exception>
#include <new>
#include <string>

namespace rtl {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  virtual const char* ClassName() const { return "Exception"; }

 private:
  std::string message_;
};

// Declares an exception class whose ClassName() is its own name.
#define RTL_EXCEPTION_CLASS(Name, Base)                      \
  class Name : public Base {                                 \
   public:                                                   \
    using BaseClass = Base;                                  \
    using BaseClass::BaseClass;                              \
    const char* ClassName() const override { return #Name; } \
  }

RTL_EXCEPTION_CLASS(EConvertError, Exception);
RTL_EXCEPTION_CLASS(EListError, Exception);
RTL_EXCEPTION_CLASS(EStreamError, Exception);
RTL_EXCEPTION_CLASS(EFCreateError, EStreamError);
RTL_EXCEPTION_CLASS(EFOpenError, EStreamError);
RTL_EXCEPTION_CLASS(EInOutError, Exception);
RTL_EXCEPTION_CLASS(ERegistryException, Exception);
RTL_EXCEPTION_CLASS(EIniFileException, Exception);
RTL_EXCEPTION_CLASS(EThread, Exception);
RTL_EXCEPTION_CLASS(EOutOfResources, Exception);

// The class name reported for any error: a runtime exception's own, the runtime's name for an
// exhausted memory, and "Exception" for anything else of the standard library.
inline const char* ClassNameOf(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Exception*>(&error)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return "EOutOfMemory";
  return "Exception";
}

// The runtime's conventional texts, used with Format.
inline constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* SListIndexError = "List index out of bounds (%d)";
inline constexpr const char* SFCreateError = "Cannot create file %s";
inline constexpr const char* SFOpenError = "Cannot open file %s";
inline constexpr const char* SRegGetDataFailed = "Failed to get data for '%s'";
inline constexpr const char* SInvalidRegType = "Invalid data type for '%s'";
inline constexpr const char* SRegSetDataFailed = "Failed to set data for '%s'";
inline constexpr const char* SRegCreateFailed = "Failed to create key %s";
inline constexpr const char* SIniFileWriteError = "Unable to write to %s";
inline constexpr const char* SNoTimers = "Not enough timers available";

}  // namespace rtl
