#pragma once

#include <calmora/FrameExport.h>

#include <cstdint>

namespace orl::video {

/// Packs four ASCII characters into a FOURCC value, the first character in
/// the lowest byte (the packing of cv::VideoWriter::fourcc).
constexpr uint32_t makeFourcc(char c0, char c1, char c2, char c3) {
    return static_cast<uint32_t>(static_cast<uint8_t>(c0)) |
           static_cast<uint32_t>(static_cast<uint8_t>(c1)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c2)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(c3)) << 24;
}

/// Packs a four-character literal, e.g. makeFourcc("NV12").
constexpr uint32_t makeFourcc(const char (&code)[5]) {
    return makeFourcc(code[0], code[1], code[2], code[3]);
}

/// The pixel formats the system knows.
namespace fourcc {
inline constexpr uint32_t GRAY = makeFourcc("GRAY");  ///< 8-bit luma
inline constexpr uint32_t RGB3 = makeFourcc("RGB3");  ///< packed R, G, B
inline constexpr uint32_t BGR3 = makeFourcc("BGR3");  ///< packed B, G, R
inline constexpr uint32_t YUV3 = makeFourcc("YUV3");  ///< packed Y, U, V
inline constexpr uint32_t YUYV = makeFourcc("YUYV");  ///< 4:2:2 pairs Y0 U Y1 V
inline constexpr uint32_t UYVY = makeFourcc("UYVY");  ///< 4:2:2 pairs U Y0 V Y1
inline constexpr uint32_t NV12 = makeFourcc("NV12");  ///< Y plane, interleaved U,V at half size
inline constexpr uint32_t NV21 = makeFourcc("NV21");  ///< Y plane, interleaved V,U at half size
inline constexpr uint32_t YU12 = makeFourcc("YU12");  ///< Y plane, U plane, V plane
inline constexpr uint32_t YV12 = makeFourcc("YV12");  ///< Y plane, V plane, U plane
inline constexpr uint32_t H264 = makeFourcc("H264");  ///< compressed bitstream
inline constexpr uint32_t HEVC = makeFourcc("HEVC");  ///< compressed bitstream
inline constexpr uint32_t JPEG = makeFourcc("JPEG");  ///< compressed picture
}  // namespace fourcc

/// True when `code` is one of the thirteen known formats.
CALMORA_FRAME_EXPORT bool isKnownFourcc(uint32_t code);

/// Buffer capacity in bytes of a `width` x `height` frame of format `code`
/// (W = width, H = height, halves rounded down):
///   GRAY W*H; RGB3, BGR3, YUV3 3*W*H; YUYV, UYVY 2*W*H;
///   NV12, NV21, YU12, YV12 W*(H + H/2); H264, HEVC, JPEG 4*W*H.
/// Returns false, leaving `capacity` untouched, for an unknown format and
/// for a capacity that does not fit in 32 bits.
CALMORA_FRAME_EXPORT bool frameCapacity(uint32_t width, uint32_t height, uint32_t code,
                                        uint32_t& capacity);

/// One video image: a small header and a byte buffer with tightly packed
/// rows, top to bottom. A frame is either empty (0 x 0, no buffer, size 0)
/// or owns one buffer of its format's capacity. Not thread-safe.
class CALMORA_FRAME_EXPORT Frame {
  public:
    /// An empty frame: 0 x 0, format "YUV3", no buffer.
    Frame() = default;

    /// Allocates a zero-filled buffer of the format's capacity. When `data`
    /// is not null and `size` does not exceed the capacity, the first `size`
    /// bytes are copied from `data` and `size` becomes the valid byte count;
    /// otherwise `size` is the capacity. A zero width or height makes a 0 x 0
    /// frame of the requested format; an unknown format gives the empty frame.
    Frame(uint32_t width, uint32_t height, uint32_t fourcc, uint32_t size = 0,
          const uint8_t* data = nullptr);

    /// Deep copy: the same result as default construction followed by
    /// assignment.
    Frame(const Frame& other);

    /// Takes over the other frame's buffer; `other` is left empty.
    Frame(Frame&& other) noexcept;

    /// Deep copy of header and bytes. The buffer is reused when width,
    /// height and format match, otherwise replaced by one of the new
    /// capacity. Never copies or claims more bytes than the buffer holds;
    /// a source without a buffer (data null) gives size 0.
    Frame& operator=(const Frame& other);

    /// Takes over the other frame's buffer; `other` is left empty.
    Frame& operator=(Frame&& other) noexcept;

    ~Frame();

    /// Frees an owned buffer; width, height, size and both counters become
    /// 0, the format stays as it was.
    void release();

    uint32_t width{0};              ///< pixels; 0 for an empty frame
    uint32_t height{0};             ///< pixels; 0 for an empty frame
    uint32_t fourcc{fourcc::YUV3};  ///< pixel format
    uint32_t size{0};               ///< valid bytes in data
    int32_t frameId{0};             ///< frame counter set by the source
    int32_t sourceId{0};            ///< caller's identifier, carried along
    uint8_t* data{nullptr};         ///< image bytes, or null

  private:
    void assignBuffer(uint32_t capacity);  // replaces the buffer by a zeroed one
    void stealFrom(Frame& other) noexcept;

    bool owner_{false};     // data was allocated by this frame
    uint32_t capacity_{0};  // bytes allocated when owner_
};

}  // namespace orl::video
