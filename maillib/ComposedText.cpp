#include "maillib/ComposedText.h"

namespace maillib {

void TComposedText::Write(const void* buffer, size_t count) {
  if (!file_ && memory_.Data().size() + count > kKeptInMemory) {
    auto file = std::make_unique<TTempFileStream>();
    file->Write(memory_.Data().data(), memory_.Data().size());
    memory_.Clear();
    file_ = std::move(file);
  }
  Active().Write(buffer, count);
}

}  // namespace maillib
