// Names compared as Windows compares them, for the native builds (the packer, the tests):
// ASCII letters in any case.
#include "setup/install_transaction.h"

namespace kelo {

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace kelo
