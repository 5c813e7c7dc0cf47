#pragma once

// Base64 with the standard alphabet and "=" padding, no line breaks. The decoder skips
// every character outside the alphabet ("=" and white space included).

#include <cstddef>
#include <string>
#include <vector>

// --- Streaming block coders; the caller owns the state ---

enum base64_encodestep { step_A, step_B, step_C };

struct base64_encodestate {
    base64_encodestep step;
    char result;
    int stepcount;
};

void base64_init_encodestate(base64_encodestate* state);
// Writes the characters for the bytes so far and returns their number; the last 0..2
// bytes stay pending in the state.
int base64_encode_block(const char* plaintext_in, int length_in, char* code_out,
                        base64_encodestate* state);
// Writes the pending bytes with "=" padding; returns the number of characters written.
int base64_encode_blockend(char* code_out, base64_encodestate* state);
// Alphabet character of a 6-bit value; "=" above 63.
char base64_encode_value(char value_in);

enum base64_decodestep { step_a, step_b, step_c, step_d };

struct base64_decodestate {
    base64_decodestep step;
    char plainchar;
};

void base64_init_decodestate(base64_decodestate* state);
// Decodes the characters and returns the number of complete bytes written; a partial
// group stays in the state.
int base64_decode_block(const char* code_in, int length_in, char* plaintext_out,
                        base64_decodestate* state);
// 0..63 for an alphabet character, -2 for "=", -1 for anything else.
int base64_decode_value(char value_in);

// --- Encoder object for image transfer: encode() then encode_end() into one buffer ---

namespace base64 {

class encoder {
public:
    explicit encoder(int buffersize_in = 2048);
    int encode(const char* code_in, int length_in, char* plaintext_out);
    int encode_end(char* plaintext_out);

private:
    int _buffersize;
    base64_encodestate _state;
};

}  // namespace base64

// --- Whole-buffer helpers ---

namespace Base64 {

std::string Encode(const char* data, size_t length);
// Decodes into out and returns the byte count; out must hold at least 3/4 of the text
// length, rounded up. Prefer the bounded form for text from outside.
unsigned Decode(const std::string& text, char* out);
// Decodes at most outSize bytes into out and returns how many were stored; further
// bytes are dropped.
unsigned Decode(const std::string& text, char* out, size_t outSize);
std::vector<unsigned char> Decode(const std::string& text);

}  // namespace Base64
