// field_scanner.cpp: the general way through a field, for every field that
// is not one digit.
#include "io/field_scanner.h"

namespace {

constexpr unsigned char kTab = '\t';
constexpr unsigned char kLineFeed = '\n';
constexpr unsigned char kCarriageReturn = '\r';
constexpr unsigned char kSpace = ' ';

// The number of bytes of the line end at `at`, 0 when none starts there.
long lineEndLength(const unsigned char* at, const unsigned char* end, LineKind kind) {
  if (*at == kLineFeed) return 1;
  if (*at != kCarriageReturn) return 0;
  const long rest = end - at - 1;
  if (rest >= 1 && at[1] == kLineFeed) return 2;
  if (kind == LineKind::Header && rest >= 2 && at[1] == kCarriageReturn && at[2] == kLineFeed) return 3;
  return 0;
}

}  // namespace

ScannedField scanField(const unsigned char*& cursor, const unsigned char* end, LineKind kind, char* text) {
  const bool keeps_spaces = kind == LineKind::Header;
  long length = 0;
  FieldEnd ending = FieldEnd::BufferEnd;
  while (cursor < end) {
    const unsigned char byte = *cursor;
    if (byte == kTab) {
      ++cursor;
      ending = FieldEnd::Tab;
      break;
    }
    if (const long line_end = lineEndLength(cursor, end, kind)) {
      cursor += line_end;
      ending = FieldEnd::LineEnd;
      break;
    }
    if (keeps_spaces || byte != kSpace) {
      if (text != nullptr && length < kMaxFieldText) text[length] = static_cast<char>(byte);
      ++length;
    }
    ++cursor;
  }
  if (text != nullptr) text[length < kMaxFieldText ? length : kMaxFieldText] = '\0';
  return {ending, length};
}
