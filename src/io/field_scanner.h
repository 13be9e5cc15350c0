// field_scanner.h: how a line of a tab-separated data file splits into its
// fields, shared by the reader that stores them and the checker that judges
// them, so that the two can never disagree about a field.
//
// A field ends on a tab or on its line's end. A line ends on LF or CR LF;
// the header's line also on CR CR LF, while in a data line the first CR of
// CR CR LF stays in the last field (where the conversion ignores it). A lone
// CR is an ordinary byte. Data fields drop their spaces; header fields (the
// marker names) keep every byte.
#ifndef GORVA_IO_FIELD_SCANNER_H
#define GORVA_IO_FIELD_SCANNER_H

// Longest marker name or data field kept, in characters; text buffers hold
// one more character for the terminator.
constexpr int kMaxFieldText = 254;
constexpr int kFieldTextBuffer = kMaxFieldText + 1;

enum class FieldEnd { Tab, LineEnd, BufferEnd };
enum class LineKind { Header, Data };

struct ScannedField {
  FieldEnd ending;
  // The bytes the field keeps (spaces left out of a data field), also those
  // beyond kMaxFieldText that were not copied.
  long length;
};

// Scans the field that starts at `cursor` (not past `end`) and moves the
// cursor past the tab or line end that closes it. The first kMaxFieldText
// kept bytes go to `text` (a kFieldTextBuffer buffer, or nullptr to discard
// them), which is terminated.
ScannedField scanField(const unsigned char*& cursor, const unsigned char* end, LineKind kind, char* text);

// Nearly every data field is one digit and its tab or LF: exactly what
// scanField makes of those two bytes, taken without a copy. True, with the
// cursor moved past both, for such a field; false, with nothing moved, for
// any other.
inline bool takeOneDigitField(const unsigned char*& cursor, const unsigned char* end, unsigned char& digit,
                              FieldEnd& ending) {
  if (end - cursor < 2) return false;
  const unsigned char first = cursor[0];
  const unsigned char next = cursor[1];
  if (first < '0' || first > '9' || (next != '\t' && next != '\n')) return false;
  digit = static_cast<unsigned char>(first - '0');
  ending = next == '\t' ? FieldEnd::Tab : FieldEnd::LineEnd;
  cursor += 2;
  return true;
}

#endif  // GORVA_IO_FIELD_SCANNER_H
