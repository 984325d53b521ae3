#!/usr/bin/env python3
"""Writes the seed inputs in fuzz/corpus/<target>/. Run from anywhere; the seeds are
committed, so this is only needed when a target's input script changes."""
import hashlib
import pathlib
import struct

here = pathlib.Path(__file__).resolve().parent
root = here.parent.parent


def write(target, name, data):
    directory = here / target
    directory.mkdir(exist_ok=True)
    (directory / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def u16(value):
    return struct.pack("<H", value)


def u32(value):
    return struct.pack("<I", value)


# fuzz_bit_header: raw .bit bytes.
bit = (root / "data" / "KaXilinx.bit").read_bytes()
sync = bytes([0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66])
write("fuzz_bit_header", "ka_xilinx_first_200", bit[:200])
write("fuzz_bit_header", "header_and_sync", bit[:82])
write("fuzz_bit_header", "sync_at_start", sync + bytes(8))
write("fuzz_bit_header", "sync_at_last_position", bytes(143) + sync)
write("fuzz_bit_header", "short", bytes([0xFF] * 7))

# fuzz_srecord: S-record text.
mcore = (root / "data" / "Ka_MCORE.s19").read_bytes().split(b"\r\n")
write("fuzz_srecord", "header", b"S0030000FC\r\n")
write("fuzz_srecord", "ka_mcore_small", b"\r\n".join(mcore[:3] + [mcore[-2], b""]))
write("fuzz_srecord", "s1_image",
      "S00F000068656C6C6F202020202000003C\n"
      "S111003848656C6C6F20776F726C642E0A0042\n"
      "S5030001FB\n"
      "S9030000FC\n")
write("fuzz_srecord", "s2_record", "S2080100000102030AE\n")
write("fuzz_srecord", "bad_checksum", "S70500020300F6\r\n")


# fuzz_sysfs_lookup: digit limit and attribute text, then the units, then the values sought.
def text(value):
    data = value.encode()
    return bytes([len(data)]) + data


def unit(flags, node, number, specifier, version, guid):
    return bytes([flags, node, number]) + text(specifier) + text(version) + text(guid)


ka = unit(0, 1, 0, "0x000a27\n", "0x000011\n", "0x0001f2000012abcd\n")
write("fuzz_sysfs_lookup", "ka_alone",
      bytes([6]) + text("0x000a27\n") + bytes([0]) + ka + u32(0) + u32(0) + bytes([0]))
write("fuzz_sysfs_lookup", "ka_behind_another_unit",
      bytes([16]) + text("0x0001f2000012abcd\n") + bytes([2]) +
      unit(0, 0, 0, "0x00609e\n", "0x010483\n", "0x0000000000000001\n") +
      unit(0, 0, 1, "0x000a27\n", "0x000012\n", "") + ka +
      u32(0) + u32(0) + bytes([2]))
write("fuzz_sysfs_lookup", "misplaced_and_upper_case",
      bytes([6]) + text("0x000A27") + bytes([1]) +
      unit(0x08, 2, 0, "0x000A27", "0x000011", "0x0001F2000012ABCD") + ka +
      u32(0) + u32(0) + bytes([0]))
write("fuzz_sysfs_lookup", "missing_version",
      bytes([6]) + text("0x1000000\n") + bytes([0]) +
      unit(0x02, 1, 0, "0x000a27\n", "", "0x0001f2000012abcd\n") +
      u32(0x000A27) + u32(0x000011) + bytes([0xFF]))


# fuzz_kernel_events: the device's system calls answered in order (see the target's header).
def response(rcode, data):
    return bytes([0, rcode]) + u16(len(data)) + data


OPEN_OK = bytes([0])
INFO_GENERATION = lambda generation: bytes([0x10]) + u32(generation)
INFO_SAME = bytes([0])
LOCK_OK, LOCK_HELD = bytes([0]), bytes([7])
POLL_READY, POLL_NOTHING, POLL_HANGUP = bytes([0]), bytes([4]), bytes([6])
SEND_OK = bytes([0])
RCODE_GENERATION, RCODE_ADDRESS_ERROR, RCODE_BUSY = 0x93, 0x87, 0x92
RCODE_DATA_ERROR, RCODE_CANCELLED = 0x85, 0x91


def bus_reset(generation):
    return bytes([3]) + u32(generation) + bytes([0])


session = (OPEN_OK + INFO_GENERATION(7) + LOCK_OK
           # read quadlet of the unit's version register
           + bytes([1]) + u16(0x0000) + POLL_NOTHING + SEND_OK + POLL_READY
           + response(0, bytes([0, 0, 0, 0x11]))
           # a bus reset is waiting before a 128-byte block read: the generation is asked for
           + bytes([0]) + u16(0x0100) + u16(128) + POLL_READY + bus_reset(8) + POLL_NOTHING
           + INFO_GENERATION(8) + SEND_OK + POLL_READY + response(0, bytes(range(128)))
           # a block write turned away as stale, sent again after a fresh generation
           + bytes([2]) + u16(0x0200) + u16(16) + POLL_NOTHING + SEND_OK + POLL_READY
           + response(RCODE_GENERATION, b"") + INFO_GENERATION(9) + SEND_OK + POLL_READY
           + response(0, b"")
           # a quadlet write, fail on reset, answered with an address error
           + bytes([0x0B]) + u16(0x0300) + u32(9) + POLL_NOTHING + SEND_OK + POLL_READY
           + response(RCODE_ADDRESS_ERROR, b"")
           # the bus generation
           + bytes([4]) + u16(0) + bytes([0]))
write("fuzz_kernel_events", "bus_reset_and_responses", session)
write("fuzz_kernel_events", "unplugged_while_waiting",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([1]) + u16(0) + POLL_NOTHING + SEND_OK + POLL_HANGUP)
write("fuzz_kernel_events", "no_answer",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([0]) + u16(0) + u16(128) + POLL_NOTHING + SEND_OK)
write("fuzz_kernel_events", "late_answer_then_answer",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([1]) + u16(0) + POLL_NOTHING + SEND_OK
      + POLL_READY + bytes([2]) + struct.pack("<Q", 99) + bytes([0]) + u16(4) + bytes(4)
      + POLL_READY + response(0, bytes([0x12, 0x34, 0x56, 0x78])))
# A quadlet write answered busy twice (each followed by a pause with nothing to read).
write("fuzz_kernel_events", "busy_then_answer",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([3]) + u16(0) + POLL_NOTHING
      + SEND_OK + POLL_READY + response(RCODE_BUSY, b"") + POLL_NOTHING
      + SEND_OK + POLL_READY + response(RCODE_BUSY, b"") + POLL_NOTHING
      + SEND_OK + POLL_READY + response(0, b""))
# Flushed by a reset while the kernel still reports the old generation: asked again after a
# wait, then sent in the new one.
write("fuzz_kernel_events", "flushed_in_the_reset_window",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([3]) + u16(0) + POLL_NOTHING
      + SEND_OK + POLL_READY + response(RCODE_GENERATION, b"") + INFO_SAME + POLL_NOTHING
      + INFO_GENERATION(4) + SEND_OK + POLL_READY + response(0, b""))
# Another program holds the node; opened once it lets go.
write("fuzz_kernel_events", "locked_by_another_program",
      OPEN_OK + INFO_GENERATION(3) + LOCK_HELD + bytes([6]) + OPEN_OK + INFO_GENERATION(3)
      + LOCK_OK + bytes([1]) + u16(0) + POLL_NOTHING + SEND_OK + POLL_READY
      + response(0, bytes(4)))
# The split time-out cancelled a read whose answer a reset lost: the kernel reports a newer
# generation, and the read goes again in it.
write("fuzz_kernel_events", "cancelled_after_a_reset",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([1]) + u16(0) + POLL_NOTHING + SEND_OK
      + POLL_READY + response(RCODE_CANCELLED, b"") + INFO_GENERATION(4) + SEND_OK
      + POLL_READY + response(0, bytes([0, 0, 0, 1])))
# A block write damaged on the way twice, then taken.
write("fuzz_kernel_events", "damaged_then_answer",
      OPEN_OK + INFO_GENERATION(3) + LOCK_OK + bytes([2]) + u16(0) + u16(16) + POLL_NOTHING
      + SEND_OK + POLL_READY + response(RCODE_DATA_ERROR, b"")
      + SEND_OK + POLL_READY + response(RCODE_DATA_ERROR, b"")
      + SEND_OK + POLL_READY + response(0, b""))


def aliased_unit(flags, node, number, specifier, version, guid, alias):
    return unit(flags | 0x10, node, number, specifier, version, guid) + text(alias)


write("fuzz_sysfs_lookup", "names_the_kernel_never_makes",
      bytes([6]) + text("0x000011") + bytes([1]) +
      aliased_unit(0, 1, 0, "0x000a27\n", "0x000011\n", "0x0001f2000012abcd\n", "fw01.0") +
      aliased_unit(0, 2, 1, "0x000a27\n", "0x000011\n", "0x0001f2000012abce\n", "fw2.5") +
      u32(0) + u32(0) + bytes([1]))


# fuzz_update_record: a record's text.
header = ('{"record":"ka-update","format":1,"program":"1.3","firmware":"3-5",'
          '"firmwareSource":"built in","guid":"0x0200000000004711","serial":"KA004711",'
          '"softwareVersion":"0x00020004","productRevision":"0x00020000",'
          '"kernel":"Linux 6.1.0","backend":"simulated Ka","device":""}\n')
body = ('{"seq":1,"t":0,"op":"open","status":0,"generation":0}\n'
        '{"seq":2,"t":5,"op":"read-quadlet","address":"0xfffff0430014","length":4,"moved":4,'
        '"value":"0x00000001","status":0,"generation":1}\n'
        '{"seq":3,"t":9,"event":"unit busy, sending again (try 2 of 10)"}\n'
        '{"seq":4,"t":12,"op":"write-block","address":"0xfffff0500000","length":4,"moved":4,'
        '"digest":"fnv1a64:0123456789abcdef","status":0,"generation":1}\n'
        '{"seq":5,"t":20,"op":"read-block","address":"0xfffff0500000","length":4,"moved":4,'
        '"bytes":"00ff10ab","status":0,"generation":1}\n'
        '{"seq":6,"t":30,"image":"xilinx","status":0,"installed":true}\n')
outcome = ('{"seq":7,"t":40,"outcome":"installed","firstFailure":0,'
           '"description":"Both were installed."}\n')
write("fuzz_update_record", "whole", header + body + outcome)
write("fuzz_update_record", "cut_short", header + body + '{"seq":7,"t":40,"outc')
write("fuzz_update_record", "serial_bytes",
      header.replace('"KA004711"', '{"bytes":"ffffffffffffffff"}'))


# fuzz_firmware_digests: a SHA256SUMS for the files "x", "m" and "3-5\n".
digests = "".join(hashlib.sha256(content).hexdigest() + "  " + name + "\n"
                  for name, content in (("KaXilinx.bit", b"x"), ("Ka_MCORE.s19", b"m"),
                                        ("version", b"3-5\n")))
write("fuzz_firmware_digests", "as_written", digests)
write("fuzz_firmware_digests", "binary_mode_upper_case",
      digests.upper().replace("  KAXILINX.BIT", " *KaXilinx.bit")
      .replace("  KA_MCORE.S19", "  Ka_MCORE.s19").replace("  VERSION", "  version"))
write("fuzz_firmware_digests", "one_twice", digests + digests.splitlines(True)[0])
write("fuzz_firmware_digests", "no_line_end", digests.rstrip("\n"))

# fuzz_firmware_version: the version file.
write("fuzz_firmware_version", "line", "3-5\n")
write("fuzz_firmware_version", "largest", "65535-65535")
write("fuzz_firmware_version", "leading_zero", "03-5\n")
write("fuzz_firmware_version", "too_large", "65536-1\n")

# fuzz_record_pruning: a folder entry's name, a NUL, then the file's first bytes.
header = ('{"record":"ka-update","format":1,"program":"1.3","firmware":"3-5",'
          '"firmwareSource":"built in","guid":"0x0200000000004711","serial":"KA004711",'
          '"softwareVersion":"0x00020004","productRevision":"0x00020000",'
          '"kernel":"Linux 6.1","backend":"firewire-cdev","device":"/dev/fw1","driver":""}\n')
write("fuzz_record_pruning", "record",
      "update-20261210T041000.123456Z-4242-0.jsonl\0" + header + '{"seq":1,"t":0}\n')
write("fuzz_record_pruning", "leap_day", "update-20240229T235959.999999Z-1-99.jsonl\0" + header)
write("fuzz_record_pruning", "no_such_day",
      "update-20230229T000000.000000Z-1-0.jsonl\0" + header)
write("fuzz_record_pruning", "notes", "update-20000101T000000.000000Z-1-0.jsonl\0my notes\n")
write("fuzz_record_pruning", "key_twice",
      "update-20000101T000000.000000Z-1-0.jsonl\0"
      '{"record":"other","record":"ka-update","format":1}\n')
