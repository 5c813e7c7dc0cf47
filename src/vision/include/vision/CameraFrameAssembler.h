#pragma once

// Cuts a camera's byte stream into result frames. A frame runs from "0000start" up to,
// not including, "stop"; an image block "#BMP#<n>#" followed by n BMP bytes may sit in its
// first 128 bytes, and then "stop" is searched only after the image, so pixel bytes never
// end a frame. Reads may split markers anywhere and carry several frames.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace Camera {

class CameraFrameAssembler {
public:
    static constexpr std::size_t BufferSize = 309000;
    static constexpr std::size_t HeaderBytes = 128;  // "#BMP#" must lie within them
    static constexpr std::size_t ChunkSize = 8192;

    // frame points into the assembler's buffer and is valid during the call only.
    using FrameHandler = std::function<void(char* frame, unsigned length)>;

    // exactFillThrows: a frame that reaches exactly BufferSize bytes throws
    // std::out_of_range (the connection is then renewed); otherwise it may fill the buffer.
    explicit CameraFrameAssembler(bool exactFillThrows);

    // Appends the bytes and hands every completed frame to the handler, in order. Returns
    // the number of frames dropped because they grew beyond the buffer.
    int Feed(const char* data, std::size_t length, const FrameHandler& handler);
    // Forgets everything held (a new connection).
    void Reset();

    std::size_t Held() const { return length; }

    // Index of the first occurrence of pattern in the length bytes, or -1 (also for an
    // empty pattern or one longer than the data).
    static long Find(const char* data, std::size_t length, const std::string& pattern);
    // Offset of the image data and the byte count from "#BMP#<n>#" in the first
    // HeaderBytes of a frame. False without a complete block; a negative count reads 0.
    static bool FindImageBlock(const char* frame, std::size_t length, std::size_t& imageStart, long& count);

private:
    int FeedPiece(const char* data, std::size_t n, const FrameHandler& handler);
    void Cut(const FrameHandler& handler);
    void StartFrameAt(std::size_t offset);

    bool exactFillThrows;
    std::vector<char> buffer;
    std::size_t length = 0;  // bytes of the open frame; 0 = none open
    std::size_t carry = 0;   // with no frame open: tail bytes kept for a split "0000start"
    std::size_t scanFrom = 0;  // the open frame has no "stop" before this offset
};

}  // namespace Camera
