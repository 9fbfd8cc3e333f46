// Frame record.
// - One capacity rule maps (width, height, format) to a byte count; it is
//   computed in 64 bits so a huge geometry is refused instead of wrapping.
// - Construction and copying allocate exactly that capacity, zero-filled.
// - Every copy is bounded by the destination's allocated capacity, so a
//   header with an oversized `size` can never make a frame write or claim
//   more bytes than it owns; a source without a buffer gives no bytes.

#include <calmora/Frame.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace orl::video {

namespace {

// The capacity rule in 64 bits; false for a format outside the table.
bool capacity64(uint64_t w, uint64_t h, uint32_t code, uint64_t& bytes) {
    switch (code) {
        case fourcc::GRAY:
            bytes = w * h;
            return true;
        case fourcc::RGB3:
        case fourcc::BGR3:
        case fourcc::YUV3:
            bytes = 3 * w * h;
            return true;
        case fourcc::YUYV:
        case fourcc::UYVY:
            bytes = 2 * w * h;
            return true;
        case fourcc::NV12:
        case fourcc::NV21:
        case fourcc::YU12:
        case fourcc::YV12:
            bytes = w * (h + h / 2);
            return true;
        case fourcc::H264:
        case fourcc::HEVC:
        case fourcc::JPEG:
            bytes = 4 * w * h;
            return true;
        default:
            return false;
    }
}

}  // namespace

bool isKnownFourcc(uint32_t code) {
    uint64_t unused = 0;
    return capacity64(0, 0, code, unused);
}

bool frameCapacity(uint32_t width, uint32_t height, uint32_t code, uint32_t& capacity) {
    uint64_t bytes = 0;
    if (!capacity64(width, height, code, bytes) || bytes > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    capacity = static_cast<uint32_t>(bytes);
    return true;
}

Frame::Frame(uint32_t w, uint32_t h, uint32_t code, uint32_t n, const uint8_t* p) {
    if (w == 0 || h == 0) {
        w = 0;
        h = 0;
    }
    uint32_t capacity = 0;
    if (!frameCapacity(w, h, code, capacity)) {
        return;  // unknown format or oversized: the empty frame
    }
    assignBuffer(capacity);
    size = capacity;
    if (p != nullptr && n <= size) {
        // a 0 x 0 frame has no buffer to copy into, and memcpy may not be
        // handed a null pointer even for zero bytes
        if (n > 0) {
            std::memcpy(data, p, n);
        }
        size = n;
    }
    width = w;
    height = h;
    fourcc = code;
}

Frame::Frame(const Frame& other) : Frame() {
    *this = other;
}

Frame::Frame(Frame&& other) noexcept {
    stealFrom(other);
}

Frame& Frame::operator=(const Frame& src) {
    if (this == &src) {
        return *this;
    }
    frameId = src.frameId;
    sourceId = src.sourceId;

    if (width != src.width || height != src.height || fourcc != src.fourcc || !owner_) {
        uint32_t capacity = 0;
        if (src.width == 0 || src.height == 0 ||
            !frameCapacity(src.width, src.height, src.fourcc, capacity)) {
            capacity = 0;  // unknown or oversized format: header only, no bytes
        }
        assignBuffer(capacity);
        width = src.width;
        height = src.height;
        fourcc = src.fourcc;
    }

    // Bound the copy by both buffers: the destination's allocation, and the
    // source's own allocation when it owns one. A source without a buffer
    // has no valid bytes, whatever its `size` says: claiming them would
    // pass the zero fill off as picture.
    uint32_t bytes = src.data != nullptr ? std::min(src.size, capacity_) : 0;
    if (src.owner_) {
        bytes = std::min(bytes, src.capacity_);
    }
    if (bytes > 0) {
        std::memcpy(data, src.data, bytes);
    }
    size = bytes;
    return *this;
}

Frame& Frame::operator=(Frame&& other) noexcept {
    if (this != &other) {
        release();
        stealFrom(other);
    }
    return *this;
}

Frame::~Frame() {
    if (owner_) {
        delete[] data;
    }
}

void Frame::release() {
    if (owner_) {
        delete[] data;
    }
    owner_ = false;
    capacity_ = 0;
    data = nullptr;
    width = 0;
    height = 0;
    size = 0;
    frameId = 0;
    sourceId = 0;
}

void Frame::assignBuffer(uint32_t capacity) {
    uint8_t* fresh = capacity > 0 ? new uint8_t[capacity]() : nullptr;
    if (owner_) {
        delete[] data;
    }
    data = fresh;
    owner_ = fresh != nullptr;
    capacity_ = capacity;
}

void Frame::stealFrom(Frame& other) noexcept {
    width = other.width;
    height = other.height;
    fourcc = other.fourcc;
    size = other.size;
    frameId = other.frameId;
    sourceId = other.sourceId;
    data = other.data;
    owner_ = other.owner_;
    capacity_ = other.capacity_;

    other.owner_ = false;
    other.capacity_ = 0;
    other.data = nullptr;
    other.width = 0;
    other.height = 0;
    other.fourcc = fourcc::YUV3;
    other.size = 0;
    other.frameId = 0;
    other.sourceId = 0;
}

}  // namespace orl::video
