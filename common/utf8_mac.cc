// validUtf8Prefix on macOS, which has no utf8proc (and Foundation decodes whole
// strings or nothing): the hand-written check. Any thread.
#include "common/utf8.h"

namespace velto {

size_t validUtf8Prefix(std::string_view bytes) { return validUtf8PrefixByTable(bytes); }

}  // namespace velto
