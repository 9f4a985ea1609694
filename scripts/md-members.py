#!/usr/bin/env python3
"""Stripes a volume image over md RAID member files as the kernel lays arrays out, and
writes each member's superblock from the on-disk format (1.2, 1.0, 0.90). Usage:
md-members.py DIR (reads DIR/volume.img and DIR/disk.img, writes DIR/<array>-<slot>.img
and DIR/arrays.txt: one line per array, its name, its source image and its members)."""
import os
import struct
import sys

MAGIC = 0xA92B4EFC
SECTOR = 512


def gf_mul2(x):
    x <<= 1
    return (x ^ 0x11D) & 0xFF if x & 0x100 else x


def parity(level, layout, n, row):
    turn = row % n
    if level == 4:
        return n - 1, None
    left = layout in (0, 2)
    if level == 5:
        return (n - 1 - turn if left else turn), None
    p = n - 1 - turn if left else turn
    if layout >= 2:
        return p, (p + 1) % n
    return p, (0 if p == n - 1 else p + 1)


def locate(level, layout, n, near, chunk):
    """(slot, row) of a logical chunk's data."""
    if level == 0:
        return chunk % n, chunk // n
    if level == 10:
        return (chunk * near) % n, (chunk * near) // n
    data = n - (2 if level == 6 else 1)
    row, slot = divmod(chunk, data)
    p, q = parity(level, layout, n, row)
    if level != 4 and layout >= 2:
        slot = (p + (2 if level == 6 else 1) + slot) % n
    elif level == 6:
        if p == n - 1:
            slot += 1
        elif slot >= p:
            slot += 2
    elif slot >= p:
        slot += 1
    return slot, row


def stripe(image, level, layout, n, chunk, near=2):
    """The data area of each slot."""
    if level == 1:
        return [image] * n
    data = {0: n, 10: n // near, 4: n - 1, 5: n - 1, 6: n - 2}[level]
    chunks = len(image) // chunk
    assert chunks * chunk == len(image) and chunks % data == 0
    rows = chunks * (near if level == 10 else 1) // n if level == 10 else chunks // data
    slots = [bytearray(rows * chunk) for _ in range(n)]
    for c in range(chunks):
        piece = image[c * chunk:(c + 1) * chunk]
        if level == 10:
            for j in range(near):
                idx = c * near + j
                slots[idx % n][(idx // n) * chunk:(idx // n + 1) * chunk] = piece
            continue
        slot, row = locate(level, layout, n, near, c)
        slots[slot][row * chunk:(row + 1) * chunk] = piece
    if level in (4, 5, 6):
        for row in range(rows):
            p, q = parity(level, layout, n, row)
            cut = slice(row * chunk, (row + 1) * chunk)
            pbytes = bytearray(chunk)
            qbytes = bytearray(chunk)
            # The syndrome's coefficients follow the slots from the one after Q on.
            start = 0 if q is None or q == n - 1 else q + 1
            order = [(start + k) % n for k in range(n)]
            order = [s for s in order if s not in (p, q)]
            for s in reversed(order):
                d = slots[s][cut]
                for i in range(chunk):
                    pbytes[i] ^= d[i]
                    if q is not None:
                        qbytes[i] = gf_mul2(qbytes[i]) ^ d[i]
            slots[p][cut] = pbytes
            if q is not None:
                slots[q][cut] = qbytes
    return slots


def csum_fold(total):
    return ((total & 0xFFFFFFFF) + (total >> 32)) & 0xFFFFFFFF


def superblock1(a, slot, offset_sectors, data_offset, data_sectors, events):
    max_dev = max(a['n'], 8)
    head = bytearray(256)
    uuid = bytes(range(0x10, 0x20)) if a['uuid'] is None else a['uuid']
    struct.pack_into('<IIII', head, 0, MAGIC, 1, 0, 0)
    head[16:32] = uuid
    name = ('korvalane:' + a['name']).encode()
    head[32:32 + len(name)] = name
    struct.pack_into('<QiIQII', head, 64, 1623760496, a['level'], a['layout'], a['dev_sectors'],
                     a['chunk'] // SECTOR if a['level'] != 1 else 0, a['n'])
    struct.pack_into('<QQQQ', head, 128, data_offset, data_sectors, offset_sectors, 0)
    struct.pack_into('<II', head, 160, slot, 0)
    head[168:184] = bytes([0xD0 + slot] * 16)
    struct.pack_into('<QQQ', head, 192, 1623760500, events, 0xFFFFFFFFFFFFFFFF)
    struct.pack_into('<I', head, 220, max_dev)
    roles = [i if i < a['n'] else 0xFFFF for i in range(max_dev)]
    sb = head + struct.pack('<%dH' % max_dev, *roles)
    total = sum(struct.unpack_from('<I', sb, i)[0] for i in range(0, len(sb) - len(sb) % 4, 4))
    if len(sb) % 4 == 2:
        total += struct.unpack_from('<H', sb, len(sb) - 2)[0]
    struct.pack_into('<I', sb, 216, csum_fold(total))
    return bytes(sb)


def superblock090(a, slot, data_kib, events):
    w = [0] * 1024
    u = a['uuid090']
    w[0:4] = [MAGIC, 0, 90, 0]
    w[5], w[6], w[7], w[8], w[9], w[10], w[11] = u[0], 1623760496, a['level'], data_kib, a['n'], a['n'], a['minor']
    w[13], w[14], w[15] = u[1], u[2], u[3]
    w[32], w[33], w[34], w[35] = 1623760500, 1, a['n'], a['n']
    w[39], w[40] = events & 0xFFFFFFFF, events >> 32
    w[64], w[65] = a['layout'], a['chunk'] if a['level'] != 1 else 0
    for i in range(a['n']):
        w[128 + 32 * i:128 + 32 * i + 5] = [i, 9, 16 + i, i, 6]
    w[992:997] = [slot, 9, 16 + slot, slot, 6]
    w[38] = csum_fold(sum(w))
    return struct.pack('<1024I', *w)


def write_members(out, a, image, lines):
    slots = stripe(image, a['level'], a['layout'], a['n'], a['chunk'])
    names = []
    for slot, data in enumerate(slots):
        path = os.path.join(out, '%s-%d.img' % (a['name'], slot))
        events = a.get('stale', {}).get(slot, 20)
        with open(path, 'wb') as f:
            if a['version'] == '1.2':
                data_offset = 2048
                f.truncate(data_offset * SECTOR + len(data))
                f.seek(4096)
                f.write(superblock1(a, slot, 8, data_offset, len(data) // SECTOR, events))
                f.seek(data_offset * SECTOR)
                f.write(data)
            elif a['version'] == '1.0':
                size = len(data) + 64 * 1024
                sb_sector = ((size // SECTOR) - 16) & ~7
                f.truncate(size)
                f.write(data)
                f.seek(sb_sector * SECTOR)
                f.write(superblock1(a, slot, sb_sector, 0, len(data) // SECTOR, events))
            else:
                size = len(data) + 128 * 1024
                at = (size & ~0xFFFF) - 0x10000
                f.truncate(size)
                f.write(data)
                f.seek(at)
                f.write(superblock090(a, slot, len(data) // 1024, events))
        names.append(os.path.basename(path))
    lines.append(' '.join([a['name'], a['source']] + names))


def main():
    out = sys.argv[1]
    volume = open(os.path.join(out, 'volume.img'), 'rb').read()
    disk = open(os.path.join(out, 'disk.img'), 'rb').read()
    k64 = 64 * 1024
    arrays = []

    def array(name, version, level, layout, n, chunk=k64, source='volume.img', **extra):
        image = disk if source == 'disk.img' else volume
        data = {0: n, 1: 1, 10: n // 2, 4: n - 1, 5: n - 1, 6: n - 2}[level]
        a = dict(name=name, version=version, level=level, layout=layout, n=n, chunk=chunk, source=source,
                 uuid=bytes([len(arrays) + 1] * 4) + bytes(range(0x20, 0x2C)), minor=len(arrays),
                 uuid090=[0x4B560000 + len(arrays), 0x11111111, 0x22222222, 0x33333333],
                 dev_sectors=len(image) // data // SECTOR)
        a.update(extra)
        arrays.append((a, image))

    array('r1', '1.2', 1, 0, 2)
    array('r1-10', '1.0', 1, 0, 2)
    array('r1-090', '0.90', 1, 0, 2)
    array('r1-stale', '1.2', 1, 0, 3, stale={2: 7})
    array('r0', '1.2', 0, 0, 3)
    array('r10', '1.2', 10, 0x102, 4)
    array('r4', '1.2', 4, 5, 3)
    array('r5-la', '1.2', 5, 0, 3)
    array('r5-ra', '1.2', 5, 1, 3)
    array('r5-ls', '1.2', 5, 2, 4, source='disk.img')
    array('r5-rs', '1.2', 5, 3, 3, chunk=16 * 1024)
    array('r5-090', '0.90', 5, 2, 3)
    array('r6-ls', '1.2', 6, 2, 4)
    array('r6-la', '1.2', 6, 0, 5, chunk=32 * 1024)
    array('r6-ra', '1.2', 6, 1, 5)
    array('r6-rs', '0.90', 6, 3, 6, source='disk.img')
    lines = []
    for a, image in arrays:
        write_members(out, a, image, lines)
    with open(os.path.join(out, 'arrays.txt'), 'w') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == "__main__":
    main()
