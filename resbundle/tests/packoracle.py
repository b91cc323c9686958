#!/usr/bin/env python3
"""An independent reader and writer of packs, used to check the pack core.

It knows only the pack's byte format: a 460-byte header block appended to a
host file, raw deflate streams, an XML index, and the pack checksum. It shares
no code with the core (its own checksum, Python's zlib and ElementTree).

    packoracle.py read PACKFILE [OUTDIR] [--fresh]
        Finds the pack, checks every checksum and length, prints a JSON
        summary; with OUTDIR restores the files there (later records win).
        --fresh also checks the layout of a pack written in one run: first
        non-empty file at 460, data back to back, index right after it.
    packoracle.py write FOLDER DESTINATION
        Appends a pack of FOLDER's regular files to DESTINATION (created when
        missing). DESTINATION must not hold a pack already.
Exit status 0 when everything checked out, 1 with a message otherwise.
"""
import json
import os
import re
import sys
import xml.etree.ElementTree as ET
import zlib

HEADER_SIZE = 460
SIGNATURES = [
    (0, b"0e2a744e-4d15-4fb5-8816-3107437abc31"),
    (37, b"c2ab6dfe-fdcc-4682-962a-8478f8229fdd"),
    (74, b"f0801963-6278-4619-ac5a-ba5865c6d2c3"),
    (111, b"8f8ed818-04eb-4639-a012-cd259d7b631b"),
]
RECORD_ATTRIBUTES = [
    "majorVer", "minorVer", "isCompressed", "fileLength", "compressLength",
    "fileOffset", "fileConctextCrc32", "fileContextCompressCrc32",
]
GROUP_ATTRIBUTES = ["majorVer", "minorVer", "fileCount"]


def _make_table():
    table = []
    for i in range(256):
        v = i << 24
        for _ in range(8):
            v = ((v << 1) ^ 0x01C26A37) if v & 0x80000000 else (v << 1)
            v &= 0xFFFFFFFF
        table.append(int.from_bytes(v.to_bytes(4, "big"), "little"))
    return table


TABLE = _make_table()


def checksum(data, init=0):
    c = ~init & 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ TABLE[(c ^ b) & 0xFF]
    return ~c & 0xFFFFFFFF


class Bad(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Bad(message)


def u32(block, offset):
    return int.from_bytes(block[offset:offset + 4], "little")


def u64(block, offset):
    return int.from_bytes(block[offset:offset + 8], "little")


def header_valid(block):
    if len(block) < HEADER_SIZE:
        return False
    for offset, text in SIGNATURES:
        if block[offset:offset + 36] != text:
            return False
    return u32(block, 456) == checksum(block[:456])


def find_header(data):
    start = 0
    while True:
        at = data.find(SIGNATURES[0][1], start)
        if at < 0 or at + HEADER_SIZE > len(data):
            return None
        if header_valid(data[at:at + HEADER_SIZE]):
            return at
        start = at + 1


def inflate(stored):
    d = zlib.decompressobj(-15)
    out = d.decompress(stored) + d.flush()
    expect(d.eof, "stored stream is not complete")
    expect(not d.unused_data, "bytes after the end of a stored stream")
    return out


def read_pack(path, outdir=None, fresh=False):
    with open(path, "rb") as f:
        data = f.read()
    h = find_header(data)
    expect(h is not None, "no valid header block")
    block = data[h:h + HEADER_SIZE]
    expect(u32(block, 148) == HEADER_SIZE, "header size field")
    expect((u32(block, 152), u32(block, 156)) == (1, 1), "versions")
    expect(block[200:456] == bytes(256), "reserved bytes not zero")
    for sep in (36, 73, 110, 147):
        expect(block[sep] == 0, "separator byte not zero")
    group_count = u32(block, 160)
    xml_offset, xml_length = u64(block, 164), u64(block, 172)
    xml_stored_length = u64(block, 180)
    xml_crc, xml_stored_crc = u32(block, 188), u32(block, 192)
    expect(u32(block, 196) == 1, "index not marked compressed")
    stored = data[h + xml_offset:h + xml_offset + xml_stored_length]
    expect(len(stored) == xml_stored_length, "index past the end")
    expect(checksum(stored) == xml_stored_crc, "stored index checksum")
    document = inflate(stored)
    expect(len(document) == xml_length, "index length")
    expect(checksum(document) == xml_crc, "index checksum")
    expect(document.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'),
           "declaration")
    root = ET.fromstring(document)
    expect(root.tag == "fileGroupList", "root element")
    groups = list(root)
    expect(len(groups) == group_count, "packGroupCount")
    cdata = re.findall(rb"<subFilePath><!\[CDATA\[(.*?)\]\]></subFilePath>",
                       document, re.S)
    records = []
    for group in groups:
        expect(group.tag == "filegroup", "group element")
        expect(list(group.attrib) == GROUP_ATTRIBUTES, "group attributes")
        expect(int(group.get("fileCount")) == len(group), "fileCount")
        for element in group:
            expect(element.tag == "singleFile", "record element")
            expect(list(element.attrib) == RECORD_ATTRIBUTES,
                   "record attributes and their order")
            records.append(element)
    expect(len(cdata) == len(records), "sub-paths not all in CDATA form")

    summary = {"header": h, "groups": len(groups), "records": [],
               "index_offset": xml_offset, "product_length": len(data)}
    next_offset = HEADER_SIZE
    restored = {}
    for element in records:
        a = element.attrib
        sub = element.find("subFilePath").text or ""
        length, stored_length = int(a["fileLength"]), int(a["compressLength"])
        offset = int(a["fileOffset"])
        content_crc = int(a["fileConctextCrc32"])
        stored_crc = int(a["fileContextCompressCrc32"])
        expect(sub and not sub.startswith("/") and ".." not in sub.split("/"),
               "sub-path " + sub)
        expect(len(sub.encode()) <= 259, "sub-path too long")
        if length == 0:
            expect(a["isCompressed"] == "false", "empty file compressed")
            expect((stored_length, offset, content_crc, stored_crc) ==
                   (0, 0, 0, 0), "empty file fields")
            content = b""
        else:
            expect(a["isCompressed"] == "true", "non-empty file not compressed")
            if fresh:
                expect(offset == next_offset, "data not back to back: " + sub)
                next_offset = offset + stored_length
            blob = data[h + offset:h + offset + stored_length]
            expect(len(blob) == stored_length, "data past the end: " + sub)
            expect(checksum(blob) == stored_crc, "stored checksum: " + sub)
            content = inflate(blob)
            expect(len(content) == length, "length: " + sub)
            expect(checksum(content) == content_crc, "content checksum: " + sub)
        restored[sub] = content
        summary["records"].append({"path": sub, "length": length,
                                   "offset": offset})
    if fresh:
        expect(xml_offset == next_offset, "index not right after the data")
        expect(h + xml_offset + xml_stored_length == len(data),
               "bytes after the index")
    if outdir is not None:
        for sub, content in restored.items():
            target = os.path.join(outdir, sub)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(content)
    return summary


def deflate(content):
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    return c.compress(content) + c.flush()


def write_pack(folder, destination):
    host = b""
    if os.path.exists(destination):
        with open(destination, "rb") as f:
            host = f.read()
    expect(find_header(host) is None, "destination already holds a pack")
    h = len(host)
    body = bytearray()
    group = ET.Element("filegroup")
    count = 0
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(top, name)
            if os.path.islink(full) or not os.path.isfile(full):
                continue
            sub = os.path.relpath(full, folder).replace(os.sep, "/")
            with open(full, "rb") as f:
                content = f.read()
            attrs = {"majorVer": "1", "minorVer": "1"}
            if content:
                blob = deflate(content)
                attrs.update(isCompressed="true", fileLength=str(len(content)),
                             compressLength=str(len(blob)),
                             fileOffset=str(HEADER_SIZE + len(body)),
                             fileConctextCrc32=str(checksum(content)),
                             fileContextCompressCrc32=str(checksum(blob)))
                body += blob
            else:
                attrs.update(isCompressed="false", fileLength="0",
                             compressLength="0", fileOffset="0",
                             fileConctextCrc32="0",
                             fileContextCompressCrc32="0")
            record = ET.SubElement(group, "singleFile", attrs)
            ET.SubElement(record, "subFilePath").text = "\0CDATA" + sub
            count += 1
    group.attrib.update(majorVer="1", minorVer="1", fileCount=str(count))
    root = ET.Element("fileGroupList")
    root.append(group)
    text = ET.tostring(root, encoding="unicode")
    # ElementTree has no CDATA nodes; mark them and write them by hand.
    text = re.sub(r"\x00CDATA([^<]*)",
                  lambda m: "<![CDATA[" + m.group(1) + "]]>", text)
    text = text.replace("&amp;", "&").replace("&lt;", "<").replace("&gt;", ">")
    document = ('<?xml version="1.0" encoding="UTF-8"?>\n' + text).encode()
    stored = deflate(document)
    header = bytearray(HEADER_SIZE)
    for offset, sig in SIGNATURES:
        header[offset:offset + 36] = sig
    fields = [(148, 4, HEADER_SIZE), (152, 4, 1), (156, 4, 1), (160, 4, 1),
              (164, 8, HEADER_SIZE + len(body)), (172, 8, len(document)),
              (180, 8, len(stored)), (188, 4, checksum(document)),
              (192, 4, checksum(stored)), (196, 4, 1)]
    for offset, width, value in fields:
        header[offset:offset + width] = value.to_bytes(width, "little")
    header[456:460] = checksum(bytes(header[:456])).to_bytes(4, "little")
    with open(destination, "wb") as f:
        f.write(host + bytes(header) + bytes(body) + stored)


def main(argv):
    try:
        if len(argv) >= 3 and argv[1] == "read":
            args = [a for a in argv[2:] if a != "--fresh"]
            summary = read_pack(args[0], args[1] if len(args) > 1 else None,
                                fresh="--fresh" in argv)
            print(json.dumps(summary))
            return 0
        if len(argv) == 4 and argv[1] == "write":
            write_pack(argv[2], argv[3])
            return 0
    except Bad as e:
        print("packoracle: " + str(e), file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
