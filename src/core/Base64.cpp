#include "core/Base64.h"

#include <array>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::array<signed char, 256> BuildDecodeTable() {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
    table[static_cast<unsigned char>('=')] = -2;
    return table;
}

const std::array<signed char, 256> kDecodeTable = BuildDecodeTable();

}  // namespace

// ---------------------------------------------------------------------------------------
// Encoder

void base64_init_encodestate(base64_encodestate* state) {
    state->step = step_A;
    state->result = 0;
    state->stepcount = 0;
}

char base64_encode_value(char value_in) {
    const unsigned char v = static_cast<unsigned char>(value_in);
    if (v > 63) return '=';
    return kAlphabet[v];
}

int base64_encode_block(const char* plaintext_in, int length_in, char* code_out,
                        base64_encodestate* state) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(plaintext_in);
    const unsigned char* const end = in + (length_in > 0 ? length_in : 0);
    char* out = code_out;
    unsigned char result = static_cast<unsigned char>(state->result);

    switch (state->step) {
        while (true) {
            case step_A: {
                if (in == end) {
                    state->result = static_cast<char>(result);
                    state->step = step_A;
                    return static_cast<int>(out - code_out);
                }
                const unsigned char fragment = *in++;
                *out++ = base64_encode_value(static_cast<char>(fragment >> 2));
                result = static_cast<unsigned char>((fragment & 0x03) << 4);
            }
                [[fallthrough]];
            case step_B: {
                if (in == end) {
                    state->result = static_cast<char>(result);
                    state->step = step_B;
                    return static_cast<int>(out - code_out);
                }
                const unsigned char fragment = *in++;
                *out++ = base64_encode_value(static_cast<char>(result | (fragment >> 4)));
                result = static_cast<unsigned char>((fragment & 0x0F) << 2);
            }
                [[fallthrough]];
            case step_C: {
                if (in == end) {
                    state->result = static_cast<char>(result);
                    state->step = step_C;
                    return static_cast<int>(out - code_out);
                }
                const unsigned char fragment = *in++;
                *out++ = base64_encode_value(static_cast<char>(result | (fragment >> 6)));
                *out++ = base64_encode_value(static_cast<char>(fragment & 0x3F));
                ++state->stepcount;  // groups only; never causes a line break
            }
        }
    }
    return static_cast<int>(out - code_out);
}

int base64_encode_blockend(char* code_out, base64_encodestate* state) {
    char* out = code_out;
    switch (state->step) {
        case step_B:
            *out++ = base64_encode_value(state->result);
            *out++ = '=';
            *out++ = '=';
            break;
        case step_C:
            *out++ = base64_encode_value(state->result);
            *out++ = '=';
            break;
        case step_A:
            break;
    }
    return static_cast<int>(out - code_out);
}

// ---------------------------------------------------------------------------------------
// Decoder

void base64_init_decodestate(base64_decodestate* state) {
    state->step = step_a;
    state->plainchar = 0;
}

int base64_decode_value(char value_in) {
    return kDecodeTable[static_cast<unsigned char>(value_in)];
}

int base64_decode_block(const char* code_in, int length_in, char* plaintext_out,
                        base64_decodestate* state) {
    const char* in = code_in;
    const char* const end = code_in + (length_in > 0 ? length_in : 0);
    char* out = plaintext_out;
    unsigned char partial = static_cast<unsigned char>(state->plainchar);

    // Next 6-bit value, skipping foreign characters; false at the end of the input.
    auto next = [&](int* value) {
        while (in != end) {
            const int v = base64_decode_value(*in++);
            if (v >= 0) {
                *value = v;
                return true;
            }
        }
        return false;
    };

    int v = 0;
    switch (state->step) {
        while (true) {
            case step_a:
                if (!next(&v)) {
                    state->step = step_a;
                    state->plainchar = static_cast<char>(partial);
                    return static_cast<int>(out - plaintext_out);
                }
                partial = static_cast<unsigned char>(v << 2);
                [[fallthrough]];
            case step_b:
                if (!next(&v)) {
                    state->step = step_b;
                    state->plainchar = static_cast<char>(partial);
                    return static_cast<int>(out - plaintext_out);
                }
                *out++ = static_cast<char>(partial | (v >> 4));
                partial = static_cast<unsigned char>((v & 0x0F) << 4);
                [[fallthrough]];
            case step_c:
                if (!next(&v)) {
                    state->step = step_c;
                    state->plainchar = static_cast<char>(partial);
                    return static_cast<int>(out - plaintext_out);
                }
                *out++ = static_cast<char>(partial | (v >> 2));
                partial = static_cast<unsigned char>((v & 0x03) << 6);
                [[fallthrough]];
            case step_d:
                if (!next(&v)) {
                    state->step = step_d;
                    state->plainchar = static_cast<char>(partial);
                    return static_cast<int>(out - plaintext_out);
                }
                *out++ = static_cast<char>(partial | v);
        }
    }
    return static_cast<int>(out - plaintext_out);
}

// ---------------------------------------------------------------------------------------
// Encoder object

namespace base64 {

encoder::encoder(int buffersize_in) : _buffersize(buffersize_in) {
    base64_init_encodestate(&_state);
}

int encoder::encode(const char* code_in, int length_in, char* plaintext_out) {
    return base64_encode_block(code_in, length_in, plaintext_out, &_state);
}

int encoder::encode_end(char* plaintext_out) {
    return base64_encode_blockend(plaintext_out, &_state);
}

}  // namespace base64

// ---------------------------------------------------------------------------------------
// Whole-buffer helpers

namespace Base64 {

namespace {

// The block coders take int lengths, so large buffers go through in slices; the coder
// state carries a partial group from one slice to the next.
constexpr size_t kSlice = 3u * 4u * (1u << 20);

}  // namespace

std::string Encode(const char* data, size_t length) {
    std::string text;
    text.resize((length + 2) / 3 * 4 + 4);
    base64_encodestate state;
    base64_init_encodestate(&state);
    size_t written = 0;
    for (size_t done = 0; done < length;) {
        const size_t chunk = (length - done < kSlice) ? length - done : kSlice;
        written += static_cast<size_t>(
            base64_encode_block(data + done, static_cast<int>(chunk), &text[written], &state));
        done += chunk;
    }
    written += static_cast<size_t>(base64_encode_blockend(&text[written], &state));
    text.resize(written);
    return text;
}

unsigned Decode(const std::string& text, char* out) {
    base64_decodestate state;
    base64_init_decodestate(&state);
    size_t written = 0;
    for (size_t done = 0; done < text.size();) {
        const size_t chunk = (text.size() - done < kSlice) ? text.size() - done : kSlice;
        written += static_cast<size_t>(
            base64_decode_block(text.data() + done, static_cast<int>(chunk), out + written, &state));
        done += chunk;
    }
    return static_cast<unsigned>(written);
}

unsigned Decode(const std::string& text, char* out, size_t outSize) {
    base64_decodestate state;
    base64_init_decodestate(&state);
    size_t stored = 0;
    char byte = 0;
    // One character at a time yields at most one byte per call, so nothing is ever
    // written past outSize.
    for (size_t i = 0; i < text.size() && stored < outSize; ++i) {
        if (base64_decode_block(&text[i], 1, &byte, &state) == 1) {
            out[stored++] = byte;
        }
    }
    return static_cast<unsigned>(stored);
}

std::vector<unsigned char> Decode(const std::string& text) {
    std::vector<unsigned char> bytes(text.size());
    const unsigned count =
        text.empty() ? 0u : Decode(text, reinterpret_cast<char*>(bytes.data()));
    bytes.resize(count);
    return bytes;
}

}  // namespace Base64
