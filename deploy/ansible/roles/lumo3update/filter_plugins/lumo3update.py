"""Filters that tell, on the controller, what the updater will make of a file.

The read-back that decides "already current" compares the board's flash with
the bytes that lumo3update would program, so the .bit header has to come off
exactly as the updater takes it off: a header that parses (the fixed preamble,
the fields 'a' to 'd', then 'e' and the 4-byte length) is removed field by
field; a file that does not begin with the preamble's first field is a raw
configuration stream, programmed whole; any other file is cut after its first
'e', 0x00 pair and the four bytes that follow it (after the first four bytes
when there is no such pair).
"""

import hashlib
import io
import tarfile

PREAMBLE = bytes([0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01])
FIRST_FIELD = PREAMBLE[:11]


def _parsed_header(data):
    """(header length, announced data length), or None when the header does not parse."""
    if not data.startswith(PREAMBLE):
        return None
    at = len(PREAMBLE)
    for key in b"abcd":
        if at + 3 > len(data) or data[at] != key:
            return None
        at += 3 + int.from_bytes(data[at + 1:at + 3], "big")
    if at + 5 > len(data) or data[at] != ord("e"):
        return None
    return at + 5, int.from_bytes(data[at + 1:at + 5], "big")


def configuration_data(data):
    """The bytes that lumo3update programs for a .bit file's contents, or
    None for a file that it refuses as truncated (its header announces more
    configuration data than the file holds)."""
    header = _parsed_header(data)
    if header is not None:
        length, announced = header
        if announced > len(data) - length:
            return None
        return data[length:]
    if not data.startswith(FIRST_FIELD):
        return data
    return data[data.find(b"e\x00") + 5:]


def lumo3update_bitstream(path):
    """Length and SHA-1 (the digest that Ansible's file modules give) of the
    configuration data of the .bit file at path; both None for a truncated
    file, which no flash can hold."""
    with open(path, "rb") as f:
        image = configuration_data(f.read())
    if image is None:
        return {"length": None, "sha1": None}
    return {"length": len(image), "sha1": hashlib.sha1(image).hexdigest()}


def lumo3update_sha256(path):
    """SHA-256 of the file at path, as sha256sum prints it."""
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def lumo3update_deb_fields(path):
    """The control fields of the .deb at path (Package, Version,
    Architecture, ...), read on the controller, which need not run Debian: a
    .deb is an ar archive whose control.tar member holds the control file."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("%s is not a Debian package" % path)
    at = 8
    while at + 60 <= len(data):
        name = data[at:at + 16].decode("ascii").strip().rstrip("/")
        size = int(data[at + 48:at + 58].decode("ascii").strip())
        member = data[at + 60:at + 60 + size]
        if name.startswith("control.tar"):
            with tarfile.open(fileobj=io.BytesIO(member)) as tar:
                control = tar.extractfile(tar.getmember("./control")).read().decode("utf-8")
            return dict(line.split(": ", 1) for line in control.splitlines() if line and line[0] != " ")
        at += 60 + size + size % 2
    raise ValueError("%s has no control member" % path)


def lumo3update_deb_for(paths, architecture):
    """The first of the .deb files at paths that installs on a board of the
    given dpkg architecture (its own, or "all"); "" when none does."""
    for path in paths:
        if lumo3update_deb_fields(path).get("Architecture") in (architecture, "all"):
            return path
    return ""


class FilterModule:
    def filters(self):
        return {
            "lumo3update_bitstream": lumo3update_bitstream,
            "lumo3update_deb_fields": lumo3update_deb_fields,
            "lumo3update_deb_for": lumo3update_deb_for,
            "lumo3update_sha256": lumo3update_sha256,
        }
