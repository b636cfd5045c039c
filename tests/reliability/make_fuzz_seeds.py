#!/usr/bin/env python3
# Writes the seed inputs of fuzz_on_receive and fuzz_exports (valid packets,
# reads and exchanges in the byte language of each target) into fuzz/corpus/.
# Run from the repository root: tests/reliability/make_fuzz_seeds.py
import struct, os
def pkt(t, flags, payload):
    b = bytes([0x55, t, flags, 0]) + struct.pack('>H', len(payload)) + payload
    x = 0
    for c in b: x ^= c
    return b + bytes([x])
def can(ch, ident, data, flags=0, stamp=0):
    # id u32, len, reserved.., flags u16 at 12, channel at 14, ..., data 8 at 16? follow record layout
    r = bytearray(24)
    struct.pack_into('>Q', r, 0, stamp)
    struct.pack_into('>I', r, 8, ident)
    struct.pack_into('>H', r, 12, flags)
    r[14] = ch; r[15] = len(data)
    r[16:16+len(data)] = data
    return bytes(r)
def canfd(ch, ident, data, flags=0x0110):
    r = bytearray(80)
    struct.pack_into('>I', r, 8, ident)
    struct.pack_into('>H', r, 12, flags)
    r[14] = ch; r[15] = len(data)
    r[16:16+len(data)] = data
    return bytes(r)
def chunk(peer, b):
    return bytes([peer & 3]) + struct.pack('<H', len(b) - 1) + b
def read(op, ch=0, cap=16):
    return bytes([0x80, op, ch, cap - 1])
out = 'fuzz/corpus/fuzz_on_receive'
seeds = {}
cans = b''.join(can(c % 4, 0x100 + c, bytes(range(8)), stamp=c) for c in range(6))
seeds['can_read'] = bytes([2]) + chunk(0, pkt(0, 0, cans)) + read(0, 0) + read(0, 1) + read(7, 2)
fd = b''.join(canfd(c % 4, 0x200 + c, bytes(range(64))) for c in range(3))
whole = pkt(1, 0, fd)
seeds['canfd_split_peers'] = bytes([2]) + chunk(0, whole[:50]) + chunk(1, pkt(0, 0, cans)) + chunk(0, whole[50:]) + read(1, 0) + read(1, 1)
seeds['error_marker'] = bytes([1]) + chunk(0, pkt(0, 0, can(0, 0, bytes([0xE1, 2, 0, 7, 9, 0, 0, 0]), flags=0x0080) + can(1, 0, b'', flags=0x0004, stamp=77))) + read(2, 0) + read(3, 1) + read(7, 0)
gps = bytearray(32); struct.pack_into('>Q', gps, 0, (1 << 63) | 1700000000)
rep = bytearray(24); rep[16] = 1
seeds['gps_report_text'] = bytes([2]) + chunk(2, pkt(5, 0, bytes(gps) * 2) + pkt(3, 0, bytes(rep)) + pkt(4, 2, b'hello')) + read(5) + read(6) + read(4, 1)
req = pkt(0x50, 0x02, bytes([1, 1]) + b'{}\x00')
seeds['gateway_request_notice'] = bytes([0]) + chunk(0, req) + b'\x07' + chunk(3, pkt(0x80, 0, bytes(8))) + b'\x07'
body = b'{\r\n"Model":"X","FirmwareVersion":"V1.02","HardwareVersion":"V2.00","SN":"123"\r\n}\x00'
seeds['device_info_answer'] = bytes([1]) + bytes([0x80, 8, 0, 0]) + b'\x0f\x01' + struct.pack('<H', len(body)) + body + b'\x0f\x01' + struct.pack('<H', 20) + b'{"Remain":12345}\x00\x00\x00\x00'
auto = b'{"Msg0":{"Enable":1,"Index":0,"Period":100,"ID":256,"Len":8,"Data":[1,2,3,4,5,6,7,8]}}\x00'
seeds['autosend_readback'] = bytes([1]) + bytes([0x80, 10, 0, 0]) + b'\x0f\x01' + struct.pack('<H', len(auto)) + auto
seeds['reset_start'] = bytes([2]) + chunk(0, pkt(0, 0, cans)[:40]) + bytes([0xE0]) + bytes([0xC0, 0x05]) + chunk(0, pkt(0, 0, cans)) + read(0, 0)
for k, v in seeds.items():
    open(os.path.join(out, k), 'wb').write(v)
# exports seeds: op bytes per OneCall.
out = 'fuzz/corpus/fuzz_exports'
def u32(v): return struct.pack('<I', v)
open_ = bytes([0, 0, 0]) + u32(0)           # open type 0x30 index 0
start = bytes([2, 0, 0, 0]) + bytes([1])     # handle: b=0 -> type kTypes[0], index 0, channel 0; mode 1 server
recv = bytes([10, 16]) + bytes(16 * 24) + bytes([0, 0, 0]) + bytes([5])
tx = bytes([8, 3]) + bytes(3 * 20) + bytes([0, 0, 0])
getkey = bytes([17, 0, 0, 0, 5, 1, 0]) + bytes(44)
setkey = bytes([15, 0, 0, 0, 21, 1]) + bytes(96)
close = bytes([1, 0, 0, 0])
seeds = {
  'open_close': open_ + close,
  'server_start_io': open_ + start + recv + tx + getkey + setkey + bytes([3, 0, 0, 0]) + close,
  'keys': open_ + b''.join(bytes([17, 0, 0, 0, k, 1, 3]) + bytes(200) for k in (0, 1, 2, 4, 5, 6, 27, 28, 31, 32, 39, 40)),
  'bad_handles': bytes([12, 0xC0]) + u32(0xFFFFFFFF) + bytes([10, 5, 0xC0]) + u32(0x123456) + bytes(200),
}
for k, v in seeds.items():
    open(os.path.join(out, k), 'wb').write(v)
