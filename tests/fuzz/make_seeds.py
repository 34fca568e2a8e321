#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Run again after changing it (python3 tests/fuzz/make_seeds.py); the files
it writes are kept in the repository. Pattern seeds are the example pattern
and patterns of the shapes the tests use; vest seeds are the frames a vest
sends in a session (identity answers, stream answers, data requests, its
stop, a board status, a device error), in each target's input format.
"""
import json
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def frame(ident, length, payload=b""):
    body = bytes([ident, 0xAD, 0xDE]) + payload
    body = body[: length - 2].ljust(length - 2, b"\0")
    return body + struct.pack("<H", crc16(body))


ANSWER_LENGTHS = {
    0x81: 11, 0x82: 11, 0x83: 10, 0x84: 10, 0x85: 10, 0x86: 10, 0x87: 10, 0x88: 9,
    0x89: 105, 0x8A: 9, 0x8B: 5, 0x8C: 37, 0x8D: 6, 0x8E: 52, 0x8F: 6, 0x90: 10,
    0x91: 6, 0x92: 6, 0x93: 7, 0x94: 6, 0x95: 6, 0xA0: 10, 0xFF: 6, 0x15: 5, 0x16: 13,
}
IDS = sorted(ANSWER_LENGTHS)


def vest_frame(ident, payload=b""):
    return frame(ident, ANSWER_LENGTHS[ident], payload)


SERIAL = vest_frame(0x88, bytes([42, 0, 3, 21]))
VERSION = vest_frame(0x89, b"VBZ-EMU 1.4.2")
TYPE = vest_frame(0x8A, struct.pack("<I", 0x0123FFFF))
STREAM_INFO = vest_frame(0x93, bytes([0, 20]))
STARTED = vest_frame(0x94, b"\0")
STOPPED = vest_frame(0x95, b"\0")
VEST_STOP = vest_frame(0x15)
BOARD = vest_frame(0xA0, bytes([1, 2, 3, 4, 5]))
ERROR = vest_frame(0xFF, bytes([0xFC]))


def request(timestamp, duration):
    return vest_frame(0x16, struct.pack("<II", timestamp, duration))


SESSION = [SERIAL, VERSION, TYPE, STREAM_INFO, STARTED] + [
    request(12500 * i, 12500) for i in range(4)] + [
    request(3_000_000, 25000), request(0x7FFF0000, 500), BOARD, VEST_STOP, STOPPED]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def pieces(frames, cut=None):
    """The length-prefixed pieces of FuzzReports.h; cut splits the bytes anew."""
    data = b"".join(frames) if cut else None
    chunks = [data[i:i + cut] for i in range(0, len(data), cut)] if cut else frames
    return b"".join(bytes([len(c)]) + c for c in chunks)


def patterns():
    with open(os.path.join(ROOT, "examples", "patterns", "circle.json")) as f:
        yield "circle", f.read()

    def sample(**over):
        s = {"timestamp": 0, "signalIndex": 12, "startCrop": 0.1, "stopCrop": 1.1, "speed": 1,
             "preDelay": 0, "postDelay": 0, "repeatCount": 1, "maxDuration": 0,
             "repeatSpat": False, "volumeKeyframes": [],
             "spatKeyframes": [{"timestamp": 0, "vicinities": [
                 {"position": [0.1, 0.0, 0.05], "orientation": [1, 0, 0, 0],
                  "scale": [0.1, 0.1, 0.1], "amplitude": 100}]}]}
        s.update(over)
        return s

    def pattern(tracks, **over):
        p = {"duration": 1.0, "patternBoost": 0, "tracks": tracks}
        p.update(over)
        return json.dumps(p)

    yield "single", pattern([{"volume": 100, "samples": [sample()]}])
    yield "endless", pattern([{"volume": 80, "samples": [sample(
        repeatCount=0, postDelay=0.05, repeatSpat=True,
        volumeKeyframes=[{"timestamp": 0, "volume": 40}, {"timestamp": 0.5, "volume": 100}])]}])
    yield "two_tracks", pattern([
        {"volume": 100, "samples": [sample(), sample(timestamp=1.5, signalIndex=200, speed=3)]},
        {"volume": 50, "samples": [sample(maxDuration=0.2, repeatCount=5, preDelay=0.1)]}],
        patternBoost=100)
    yield "no_boost", json.dumps({"duration": 0.5, "tracks": [
        {"volume": 100, "samples": [sample(stopCrop=0)]}]})
    yield "empty_vicinities", pattern([{"volume": 100, "samples": [sample(
        spatKeyframes=[{"timestamp": 0, "vicinities": []}, {"timestamp": 0.5, "vicinities": []}])]}])
    yield "bad_missing_tracks", json.dumps({"duration": 1.0})
    yield "bad_negative", pattern([{"volume": -1, "samples": [sample()]}])


def main():
    for name, text in patterns():
        write("fuzz_pattern_capi", name + ".json", text)
        write("fuzz_engine_render", name + ".json", text)
        # Play properties (volume, speed, boost, spatial) first.
        write("fuzz_legacy_pattern", name, b"\x32\x0f\x00\x00" + text.encode())
    # Audio-to-haptics tokens: rate index, channels, precision and preset,
    # frame count, then the token values (four bands per channel and block).
    def tokens(header, values, fmt="<f"):
        return bytes(header) + b"".join(struct.pack(fmt, v) for v in values)
    write("fuzz_orv_tokens", "pulse_48k_mono", tokens([8, 0, 0, 1], [0, 1, 0, 0, 0, 0, 0, 0]))
    write("fuzz_orv_tokens", "rumble_2k_stereo_double", tokens([2, 1, 1, 2], [0.36, 0, 0, 0] * 6, "<d"))
    write("fuzz_orv_tokens", "hostile_values",
          tokens([5, 0, 2, 3], [float("nan"), float("inf"), -1.0, 1e30, 2.0, -0.0, 1e-40, 0.5]))
    write("fuzz_orv_tokens", "short_stream", tokens([10, 3, 6, 7], [1, 0.5]))
    # Captured audio: channels and device rate, output rate, preset and
    # volume; then callbacks of one byte (top bit: no buffer; frames) and
    # their float frames.
    def capture(header, callbacks):
        out = bytes(header)
        for frames in callbacks:
            if frames is None:
                out += bytes([0x80 | 100])
            else:
                out += bytes([len(frames)]) + b"".join(struct.pack("<f", v) for v in frames)
        return out
    # At 8 kHz a block is 160 frames, so that a seed of a few blocks stays
    # below the smoke's input length.
    tone = [0.5 * math.sin(2 * math.pi * 80 * i / 8000) for i in range(120)]
    write("fuzz_orv_capture", "tone_mono_8k", capture([0x30, 0x10], [tone] * 7))
    write("fuzz_orv_capture", "huge_then_tone", capture([0x30, 0x11], [[1e30] + tone[1:]] + [tone] * 6))
    write("fuzz_orv_capture", "over_range_stereo", capture([0x31, 0x26], [[8.0] * 120] * 2 + [tone[:60]] * 6))
    write("fuzz_orv_capture", "non_finite_and_gaps",
          capture([0x32, 0x4b], [[float("nan"), float("inf"), -float("inf"), -1e38, 1e-40, -0.0], None]
                  + [tone[:40]] * 4))
    for i, seed in enumerate([b"\0" * 64, bytes(range(256)), b"\xff" * 128, b"\x01\x02" * 100]):
        write("fuzz_engine_structured", "bytes%d" % i, seed)

    frames = [SERIAL, VERSION, TYPE, STREAM_INFO, STARTED, request(0, 12500), VEST_STOP, BOARD,
              ERROR, STOPPED]
    write("fuzz_usb_answers", "session", b"\x00" + pieces(frames))
    write("fuzz_usb_answers", "early_frames", b"\x03" + pieces([BOARD, request(0, 500), ERROR] + frames))
    write("fuzz_usb_answers", "short_and_long", b"\x01" + pieces([SERIAL[:4], VERSION + b"\0" * 20]))
    write("fuzz_bt_reassembly", "whole_frames", pieces(frames))
    write("fuzz_bt_reassembly", "cut_small", pieces(frames, cut=7))
    write("fuzz_bt_reassembly", "cut_large", pieces(frames, cut=150))
    write("fuzz_bt_reassembly", "noise_between", pieces([b"\x00\x13\xAD", SERIAL, b"\xAD\xDE", VERSION]))

    def session(frames, serial_byte=0):
        out = bytes([serial_byte])
        for f in frames:
            if f is None:
                out += bytes([10])  # nothing came
            else:
                out += bytes([0, IDS.index(f[0])]) + f[3:-2]
        return out

    write("fuzz_vest_session", "serial_zero", session(SESSION))
    write("fuzz_vest_session", "serial_given", session(SESSION[1:], 1))
    write("fuzz_vest_session", "request_before_start",
          session([SERIAL, BOARD, VERSION, TYPE, STREAM_INFO, request(0, 12500), STARTED,
                   request(12500, 12500), None, request(25000, 4000), VEST_STOP]))
    write("fuzz_vest_session", "refused_info", session([SERIAL, VERSION, TYPE, vest_frame(0x93, b"\xff\x18")]))

    # Wi-Fi reads: the header gives the datagrams before the Unbind answer
    # (bits 0-2) and those of the first five that a stranger sends (bits 3-7).
    status = vest_frame(0x87, bytes([1, 2, 3, 4, 5]))
    old_firmware = vest_frame(0xFF, bytes([0xF9]))
    write("fuzz_wifi_reads", "vest_frames", b"\x00" + pieces([SERIAL, VERSION, TYPE, BOARD, status, ERROR]))
    write("fuzz_wifi_reads", "own_before_unbind",
          b"\x03" + pieces([TYPE, BOARD, request(0, 12500), VEST_STOP]))
    write("fuzz_wifi_reads", "refusals_before_unbind",
          b"\x02" + pieces([SERIAL, old_firmware, vest_frame(0x91, b"\0")]))
    write("fuzz_wifi_reads", "stranger_and_odd_sizes",
          bytes([0x01 | (0b101 << 3)]) + pieces([SERIAL, VERSION[:40], SERIAL + b"\0" * 3, b"", status]))

    # Wi-Fi discovery: per datagram the sender (address, port, little-endian),
    # whether its socket address had the usual size, then the datagram.
    def heard(address, port, frame, usual=True):
        return struct.pack("<IHB", address, port, 1 if usual else 0) + frame
    free, in_use, also_free = (vest_frame(0x90, bytes([s])) for s in (0, 1, 2))
    vest = 0x0AD50001  # 10.213.0.1
    write("fuzz_wifi_discovery", "answers",
          pieces([heard(vest, 33624, free), heard(vest + 1, 42192, in_use),
                  heard(vest, 33624, free), heard(vest + 2, 555, also_free)]))
    write("fuzz_wifi_discovery", "odd_senders",
          pieces([heard(0, 0, free), heard(0xFFFFFFFF, 65535, free, usual=False),
                  heard(vest, 2601, SERIAL), heard(vest, 17956, free[:6])]))

    def legacy(steps):
        """Answers to the host's last command (payload), frames of their own, "idle"."""
        out = b""
        for s in steps:
            if s == "idle":
                out += bytes([6])
            elif isinstance(s, tuple):
                out += bytes([4, IDS.index(s[1][0])]) + s[1][3:-2]
            else:
                out += bytes([0]) + s
        return out

    # The handshake, then the mute command that the first turn sends.
    hello = [SERIAL[3:-2], VERSION[3:-2], TYPE[3:-2], bytes(5)]
    write("fuzz_legacy_reception", "plays_and_releases", legacy(
        hello + [bytes([0, 1, 0, 0, 0, 0]), bytes([1, 5, 0, 0, 0, 0]), bytes([2, 0x15, 0, 0, 0, 0]),
                 bytes([3, 0x55, 0, 0, 0, 0]), bytes([0x55, 0, 0, 0, 0]), "idle",
                 ("own", vest_frame(0xA0, bytes([0x50, 0, 0, 0, 0]))), bytes([0x50, 0, 0, 0, 0]),
                 bytes([0, 0x51, 0, 0, 0, 0]), bytes([0, 0, 0, 0, 0]), "idle", bytes([0, 0, 0, 0, 0])]))
    write("fuzz_legacy_reception", "refusals_and_strays", legacy(
        hello + [("own", ERROR), ("own", vest_frame(0xFF, bytes([0xFA]))), bytes([254, 0, 0, 0, 0, 0]),
                 bytes([255, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF]), bytes([25, 1, 0, 0, 0, 0]),
                 ("own", BOARD), ("own", SERIAL), ("own", STARTED), bytes([7, 0, 0, 0, 0, 0])]))
    write("fuzz_legacy_reception", "answers_twice", legacy(
        hello + [bytes([0, 1, 0, 0, 0, 0]), ("own", vest_frame(0x81, bytes([0, 1, 0, 0, 0, 0]))),
                 bytes([1, 5, 0, 0, 0, 0]), ("own", vest_frame(0x81, bytes([1, 5, 0, 0, 0, 0]))),
                 bytes([5, 0, 0, 0, 0]), bytes([5, 0, 0, 0, 0])]))


if __name__ == "__main__":
    main()
