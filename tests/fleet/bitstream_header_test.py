#!/usr/bin/env python3
"""The role strips a .bit header as the updater does: checked against real
vendor files (header lengths from their README) and the rules' corner cases.

Usage: bitstream_header_test.py BITSTREAM_DIR
"""

import hashlib
import os
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy", "ansible",
                                "roles", "lumo3update", "filter_plugins"))
import lumo3update  # noqa: E402

SYNC_WORD = bytes.fromhex("AA995566")
# file name: (header length, offset of the sync word)
REAL_FILES = {
    "artix7-35t-compressed.bit": (113, 161),
    "spartan6-lx9.bit": (88, 104),
}


class RealFiles(unittest.TestCase):
    def test_the_header_comes_off_up_to_the_configuration_data(self):
        for name, (header_length, sync_offset) in REAL_FILES.items():
            with self.subTest(name):
                path = os.path.join(BITSTREAMS, name)
                with open(path, "rb") as f:
                    data = f.read()
                image = lumo3update.configuration_data(data)
                self.assertEqual(image, data[header_length:])
                self.assertEqual(image.find(SYNC_WORD), sync_offset - header_length)
                self.assertEqual(lumo3update.lumo3update_bitstream(path),
                                 {"length": len(data) - header_length,
                                  "sha1": hashlib.sha1(data[header_length:]).hexdigest()})

    def test_a_parsed_header_is_removed_field_by_field(self):
        # A design name ending in 'e' holds an 'e', 0x00 pair before the 'e'
        # field; a parsed header is not cut there.
        with open(os.path.join(BITSTREAMS, "artix7-35t-compressed.bit"), "rb") as f:
            data = f.read()
        after_a = 13 + 3 + int.from_bytes(data[14:16], "big")
        name = b"lumo3_core\x00"
        renamed = data[:13] + b"a" + len(name).to_bytes(2, "big") + name + data[after_a:]
        self.assertEqual(lumo3update.configuration_data(renamed), data[113:])

    def test_a_truncated_file_has_no_configuration_data(self):
        with open(os.path.join(BITSTREAMS, "spartan6-lx9.bit"), "rb") as f:
            data = f.read()
        self.assertIsNone(lumo3update.configuration_data(data[:-1]))


class FilesWithoutHeader(unittest.TestCase):
    def test_a_raw_stream_is_taken_whole(self):
        self.assertEqual(lumo3update.configuration_data(b"xye\x00\x00\x00\x10data e\x00"),
                         b"xye\x00\x00\x00\x10data e\x00")

    def test_a_damaged_header_is_cut_after_the_first_e_nul_pair_and_four_bytes(self):
        damaged = lumo3update.FIRST_FIELD + b"\x00\x02ye\x00\x00\x00\x10data"
        self.assertEqual(lumo3update.configuration_data(damaged), b"data")
        self.assertEqual(lumo3update.configuration_data(lumo3update.FIRST_FIELD + b"rest"),
                         lumo3update.FIRST_FIELD[4:] + b"rest")


if __name__ == "__main__":
    BITSTREAMS = sys.argv.pop(1)
    if not os.path.isdir(BITSTREAMS):
        sys.exit("the real bitstreams are missing: %s is no directory" % BITSTREAMS)
    unittest.main()
