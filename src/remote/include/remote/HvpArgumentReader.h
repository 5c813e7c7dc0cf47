#pragma once

// Strict reader of the arguments of one HVP frame, shared by every message family.
//
// The body of a frame is the text between the leading "HVPSTART" and the final "HVPEND".
// Tokens are runs of non-blank characters of the body. Values are read one token at a
// time from a cursor that starts at the first token (the client's counter):
//  - ReadInt       "%d": an optional sign and decimal digits, the whole token, within int;
//  - ReadIntAuto   "%i": the same, also "0x"/"0X" hexadecimal and leading-0 octal;
//  - ReadFloat     "%f": a whole-token number whose value is finite ("nan", "inf" and
//                        "1e999" are refused);
//  - ReadWord      "%s": any token.
// A token "HVPEND" ends the values: it is never read as a value. A failed read leaves the
// cursor where it was, so a handler can fall back to a default for missing trailing
// values. A frame that holds a NUL byte, or does not start with "HVPSTART" and end with
// "HVPEND", is not parsable: it has no tokens.
//
//   HvpArgumentReader args(frame);
//   int counter = 0, channel = 0;
//   std::string state;
//   if (args.ReadInt(counter) && args.Expect("CMD") && args.Expect("DOUT") &&
//       args.ReadIntAuto(channel) && args.ReadWord(state)) { ... }

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Remote {

class HvpArgumentReader {
public:
    static constexpr std::string_view kStart = "HVPSTART";
    static constexpr std::string_view kEnd = "HVPEND";

    // The frame as received, markers included. The reader keeps a view: the frame text
    // must outlive it.
    explicit HvpArgumentReader(std::string_view frame);

    bool IsParsable() const { return parsable; }
    const std::string_view& Frame() const { return frame; }
    // The body, between the markers (empty when not parsable).
    std::string_view Body() const { return body; }

    // Number of value tokens (up to the first "HVPEND" token) and token i of them.
    std::size_t Count() const { return tokens.size(); }
    std::string_view Token(std::size_t i) const;

    // The cursor: index of the next token to read.
    std::size_t Position() const { return position; }
    void SetPosition(std::size_t index) { position = index; }
    bool AtEnd() const { return position >= tokens.size(); }

    bool ReadInt(int& out);
    bool ReadIntAuto(int& out);
    bool ReadFloat(float& out);
    bool ReadDouble(double& out);
    bool ReadWord(std::string& out);
    bool ReadWord(std::string_view& out);
    // Exactly count numbers; false when one is missing or no number.
    bool ReadFloats(float* out, int count);
    // Up to max numbers, as many as the message holds; count tells how many. False when
    // a present token is no number (the message is malformed).
    bool ReadFloatsUpTo(float* out, int max, int& count);
    bool ReadIntsUpTo(int* out, int max, int& count);
    // Reads the next token when it equals word exactly.
    bool Expect(std::string_view word);
    // Moves past the next token, whatever it is; false at the end.
    bool Skip();

    // The raw text after the last token read and one blank, up to the blank before the
    // final "HVPEND" (blanks inside kept): for values that are whole lines, such as file
    // upload lines. Empty when nothing follows.
    std::string_view RestOfLine() const;

    // Conversions on one token, for callers that hold tokens of their own.
    static bool ParseInt(std::string_view token, int& out);
    static bool ParseIntAuto(std::string_view token, int& out);
    static bool ParseFloat(std::string_view token, float& out);
    static bool ParseDouble(std::string_view token, double& out);
    static bool IsBlank(char c);

private:
    std::string_view frame;
    std::string_view body;
    bool parsable = false;
    std::vector<std::string_view> tokens;
    std::size_t position = 0;
};

}  // namespace Remote
