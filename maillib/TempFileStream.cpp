#include "maillib/TempFileStream.h"

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace maillib {

std::string TTempFileStream::NewTempFile() {
  char dir[256];
  DWORD length = GetTempPathA(sizeof dir, dir);
  char name[MAX_PATH];
  if (length == 0 || length >= sizeof dir || GetTempFileNameA(dir, "ms", 0, name) == 0) {
    throw rtl::EFCreateError(
        rtl::Format(rtl::SFCreateError, (std::string(dir) + "ms*.tmp").c_str()));
  }
  return name;
}

TTempFileStream::TTempFileStream() : TFileStream(NewTempFile(), rtl::fmCreate) {}

TTempFileStream::~TTempFileStream() {
  CloseFile();
  if (DeleteOnFree) DeleteFileA(FileName().c_str());
}

}  // namespace maillib
