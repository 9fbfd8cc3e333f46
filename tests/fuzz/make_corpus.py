#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

The targets read their input with libFuzzer's FuzzedDataProvider: byte
strings are taken from the front of the input, integers from the back (the
first byte read from the back is the most significant one). Seed.num() and
Seed.raw() record the values in the order a target reads them, so each seed
below reads as the call sequence it drives. Run it again after changing
how a target reads its input: python3 tests/fuzz/make_corpus.py
"""

import json
import math
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in reading order

    def num(self, value, lo, hi, width=4):
        """An integer read by ConsumeIntegralInRange(lo, hi) of `width` bytes."""
        assert lo <= value <= hi, (value, lo, hi)
        span = hi - lo
        offset = value - lo
        count = 0
        while count < width and (span >> (8 * count)) > 0:
            count += 1
        digits = [(offset >> (8 * i)) & 0xFF for i in range(count)]
        self.back.extend(reversed(digits))  # most significant byte first
        return self

    def u8(self, value):
        return self.num(value, 0, 255, 1)

    def flag(self, value):
        return self.u8(1 if value else 0)

    def u32(self, value):
        return self.num(value & 0xFFFFFFFF, 0, 0xFFFFFFFF, 4)

    def i32(self, value):
        return self.num(value, -2**31, 2**31 - 1, 4)

    def f32(self, value):
        """A float read as its raw bit pattern through a uint32."""
        return self.u32(struct.unpack("<I", struct.pack("<f", value))[0])

    def raw(self, data):
        """Bytes read by ConsumeBytes, from the front."""
        self.front.extend(data)
        return self

    def text(self, value):
        """A string read by ConsumeRandomLengthString (backslashes doubled)."""
        data = value.encode("latin-1").replace(b"\\", b"\\\\")
        self.front.extend(data + b"\\\n")  # a backslash and another byte end it
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def fourcc(code):
    return struct.unpack("<I", code.encode())[0]


KNOWN = ["GRAY", "RGB3", "BGR3", "YUV3", "YUYV", "UYVY", "NV12", "NV21", "YU12", "YV12",
         "H264", "HEVC", "JPEG"]


def capacity(w, h, code):
    """The frame record's capacity rule; 0 for no buffer."""
    if w == 0 or h == 0 or code not in KNOWN:
        return 0
    if code == "GRAY":
        return w * h
    if code in ("RGB3", "BGR3", "YUV3"):
        return 3 * w * h
    if code in ("YUYV", "UYVY"):
        return 2 * w * h
    if code in ("H264", "HEVC", "JPEG"):
        return 4 * w * h
    return w * (h + h // 2)


def frame_seeds():
    def seed(w, h, code, with_data, count, payload, cw=None, ch=None, ccode=None):
        s = Seed()
        s.u32(640).u32(480).u8(KNOWN.index("BGR3"))  # capacity rule probe
        s.u8(0).num(w, 0, 70).u8(0).num(h, 0, 70)
        if code in KNOWN:
            s.u8(KNOWN.index(code))
        else:
            s.u8(240).u32(fourcc(code))
        s.flag(with_data)
        s.num(1, 0, 7)  # a count within the capacity range
        s.num(count, 0, capacity(w, h, code) + 8)
        s.raw(payload)
        s.i32(7).i32(9)
        s.flag(cw is None)
        if cw is not None:
            s.u8(0).num(cw, 0, 70)
        s.flag(ch is None)
        if ch is not None:
            s.u8(0).num(ch, 0, 70)
        s.flag(ccode is None)
        if ccode is not None:
            s.u8(KNOWN.index(ccode))
        s.u8(0)  # no header edits
        return s.bytes()

    return {
        "gray_4x3": seed(4, 3, "GRAY", True, 12, bytes(range(12))),
        "nv12_odd_5x5": seed(5, 5, "NV12", True, 35, bytes(range(35)), 6, 4, "YU12"),
        "jpeg_short_payload": seed(8, 8, "JPEG", True, 30, bytes(range(30))),
        "zero_width": seed(0, 7, "BGR3", True, 0, b"\x01"),
        "unknown_code": seed(4, 4, "ABCD", False, 0, b""),
    }


SHIFT_FAMILIES = {"GRAY": (0, 0), "BGR3": (1, 1), "YUYV": (2, 0), "UYVY": (2, 1), "NV12": (3, 0),
                  "NV21": (3, 1), "YU12": (4, 0), "YV12": (4, 1)}


def shift_seeds():
    def shift(s, value):
        if value == -2**31:
            return s.num(0, 0, 15)
        if value == 2**31 - 1:
            return s.num(1, 0, 15)
        return s.num(4, 0, 15).num(value, -70, 70)

    def seed(code, w, h, dx, dy, spoil=0):
        family, index = SHIFT_FAMILIES[code]
        s = Seed().num(family, 0, 5)
        if family in (1, 2, 3, 4):
            s.num(index, 0, {1: 2, 2: 1, 3: 1, 4: 1}[family])
        s.num(w, 1, 64).num(h, 1, 64)
        shift(s, dx)
        shift(s, dy)
        s.u8(0xEE).num(spoil, 0, 15)
        s.raw(bytes((i * 7 + 3) & 0xFF for i in range(w * h * 3)))
        return s.bytes()

    plane = Seed().num(5, 0, 5).num(6, 0, 48).num(3, 0, 24).num(2, -60, 60).num(-1, -30, 30)
    plane.num(1, 0, 7).num(1, 0, 7).flag(False).num(3, 0, 60).u8(0xEE)
    return {
        "gray_16x12_right_down": seed("GRAY", 16, 12, 3, 2),
        "bgr3_odd_left_up": seed("BGR3", 15, 11, -3, -2),
        "yuyv_odd_shift": seed("YUYV", 20, 10, 3, 1),
        "nv21_odd_both": seed("NV21", 33, 17, -5, 3),
        "yv12_odd_width": seed("YV12", 9, 7, 1, -1),
        "yu12_int_min": seed("YU12", 16, 16, -2**31, 0),
        "gray_size_below_capacity": seed("GRAY", 8, 8, 1, 1, spoil=5),
        "plane_with_span": plane.bytes(),
    }


def record(s, scale=1, limit=150, alimit=0.2, coeff=0.9, enable=True, border=True,
           const_x=0, const_y=0, const_a=0.0, kind=2):
    s.i32(scale).i32(limit).i32(limit).f32(alimit)
    s.f32(coeff).f32(coeff).f32(coeff)
    s.flag(enable).flag(border)
    s.i32(const_x).i32(const_y).f32(const_a)
    s.i32(0).i32(0).f32(0.0)  # outputs
    s.i32(kind).f32(2.0).f32(30.0).i32(0).i32(0)
    return s


def stabiliser_seeds():
    tile = bytes((x * 37 + y * 91 + (x * y) % 13 * 17) & 0xFF for y in range(16) for x in range(16))

    def seed(code, w, h, frames, dx, dy, params=None, calls=None):
        s = Seed()
        s.flag(params is not None)
        if params is not None:
            record(s, **params)
        s.num(dx, -6, 6).num(dy, -6, 6)
        s.raw(tile)
        s.num(frames, 1, 6)
        for step in range(frames):
            made = (calls or {}).get(step, [])
            s.num(len(made), 0, 3)
            for call in made:
                call(s)
            s.num(KNOWN.index(code) if code in KNOWN else 15, 0, 15, 1)
            if code not in KNOWN:
                s.u32(fourcc(code))
            else:
                s.num(KNOWN.index(code), 0, 12)
            s.num(w, 0, 96).num(h, 0, 96)
            s.flag(True)  # the moving texture
        return s.bytes()

    def set_param(ident, value):
        def call(s):
            s.num(0, 0, 5).num(ident, -2, 22).num(1, 0, 3).num(int(value), -3, 1100)
        return call

    def command(ident):
        def call(s):
            s.num(2, 0, 5).num(ident, -1, 4)
        return call

    return {
        "bgr3_type2_moving": seed("BGR3", 64, 48, 5, 2, 1),
        "gray_type0_fft": seed("GRAY", 96, 96, 4, 3, -2, params={"kind": 0}),
        "nv12_type1": seed("NV12", 64, 64, 4, -2, 2, params={"kind": 1, "coeff": 0.0}),
        "yu12_const_rotation": seed("YU12", 48, 48, 3, 1, 1, params={"const_a": 0.1, "border": False}),
        "yuyv_commands": seed("YUYV", 64, 32, 6, 4, 0,
                              calls={1: [set_param(5, 0)], 2: [command(3)], 3: [command(2)],
                                     4: [set_param(16, 0), command(1)]}),
        "rgb3_nan_record": seed("RGB3", 40, 40, 3, 1, 1,
                                params={"alimit": math.nan, "coeff": math.inf, "scale": -5,
                                        "limit": -1, "const_x": 2**31 - 1, "kind": 99}),
        "unknown_format": seed("ABCD", 32, 32, 2, 0, 0),
    }


def source_seeds():
    def seed(text, tail=b""):
        return Seed().text(text).raw(tail).bytes()

    texts = {
        "device_with_size": "0;640;480",
        "stream_bad_width": "rtsp://127.0.0.1:1/x;wide",
        "file_empty_fields": ";;clip.mp4;;;",
        "negative_device": "-1",
        "not_a_device": "cam",
        "spaces_and_signs": " 12;+5;-7",
        "out_of_int_range": "0;99999999999;1",
        "unknown_long": "/dev/video0",
    }
    return {name: seed(text) for name, text in texts.items()}


def demo_document():
    source = {"logLevel": 0, "source": "/dev/video0", "fourcc": "YUYV", "width": 1920,
              "height": 1080, "gainMode": 1, "exposureMode": 1, "focusMode": 1, "fps": 0.0,
              "custom1": 0.0, "custom2": 0.0, "custom3": 0.0}
    stabiliser = {"scaleFactor": 1, "xOffsetLimit": 150, "yOffsetLimit": 150,
                  "aOffsetLimit": 10.0, "xFilterCoeff": 0.8999999761581421,
                  "yFilterCoeff": 0.8999999761581421, "aFilterCoeff": 0.8999999761581421,
                  "enable": True, "transparentBorder": True, "constXOffset": 0, "constYOffset": 0,
                  "constAOffset": 0.0, "type": 2, "cutFrequencyHz": 2.0, "fps": 30.0, "logMod": 0}
    return {"Params": {"videoSource": source, "videoStabiliser": stabiliser}}


def demo_seeds():
    valid = demo_document()
    kinds = demo_document()
    kinds["Params"]["videoSource"]["width"] = 640.9
    kinds["Params"]["videoSource"]["fps"] = True
    kinds["Params"]["videoStabiliser"]["xOffsetLimit"] = 3000000000
    kinds["Params"]["videoStabiliser"]["constAOffset"] = 1e-40
    extra = demo_document()
    extra["Other"] = {"kept": [1, 2.5, "x", None, {"a": False}]}
    missing = demo_document()
    del missing["Params"]["videoStabiliser"]["logMod"]
    return {
        "valid.json": json.dumps(valid, indent=4, sort_keys=True).encode(),
        "odd_kinds.json": json.dumps(kinds, sort_keys=True).encode(),
        "extra_members.json": json.dumps(extra).encode(),
        "missing_key.json": json.dumps(missing).encode(),
        "not_json.json": b"{\"Params\": {\"videoSource\": [1, 2,\n",
        "comment.json": b"// settings\n{}\n",
    }


def main():
    seeds = {
        "frame_fuzz": frame_seeds(),
        "shift_fuzz": shift_seeds(),
        "stabiliser_fuzz": stabiliser_seeds(),
        "source_text_fuzz": source_seeds(),
        "demo_config_fuzz": demo_seeds(),
    }
    for target, files in seeds.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(files)} seeds, {sum(len(d) for d in files.values())} bytes")


if __name__ == "__main__":
    main()
