#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/.

The seeds are small, valid (or deliberately damaged) examples of what each
target reads, so that a short run starts from the interesting paths.  Run it
again after changing a seed; the files are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    c = 0
    for b in data:
        c ^= b << 8
        for _ in range(8):
            c = ((c << 1) ^ 0x1021) if c & 0x8000 else (c << 1)
            c &= 0xFFFF
    return c


def block(payload, count):
    b = bytearray(260)
    b[0:2] = struct.pack('<H', count & 0xFFFF)
    b[2:2 + len(payload[:256])] = payload[:256]
    crc = crc16(b[:258])
    b[258] = crc >> 8
    b[259] = crc & 0xFF
    return bytes(b)


def record(name, size, y=44, mo=2, d=29, h=23, mi=59, s=29):
    n = name[:13].ljust(13, b'\0')
    return n + struct.pack('<I', size) + struct.pack('<6H', y, mo, d, h, mi, s)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('latin-1'))


ESC = '\x1b'

# ANSI interpreter: what controller programs draw, and damaged sequences.
write('ansi', 'colours', ESC + '[2J' + ESC + '[1;33;44mTitle' + ESC + '[0m\r\n' + ESC + '[31mred' + ESC + '[m')
write('ansi', 'moves', ESC + '[5;10H' + ESC + '[3A' + ESC + '[2B' + ESC + '[4C' + ESC + '[1D' + ESC + '[s' +
      ESC + '[H' + ESC + '[u' + ESC + '[K' + ESC + '[f' + ESC + '[;5H')
write('ansi', 'limits', ESC + '[99999999999C' + ESC + '[2147483648B' + ESC + '[0A' + ESC + '[' + ';' * 30 + 'm' +
      ESC + '[' + '1;' * 25 + '7m' + ESC + '[200;300H')
write('ansi', 'broken', ESC + 'x' + ESC + '[' + ESC + '[12' + '\x00' + ESC + '[?25h' + ESC + ESC + '[J' + 'text\b\t\x07')

# Key decoder: the first byte chooses the cut, the rest is typed keys.
# The display of received bytes: text, controls, split characters, the
# 8-bit controls encoded in UTF-8, malformed forms; for Big5 a lead byte
# that ends one read with CR LF at the start of the next (the first byte
# chooses piece sizes: 0x04 gives pieces of 5, then 2).
for t in ('display_utf8', 'display_big5'):
    write(t, 'mixed', b'\x04ab\xa4\xa4\xc3\xa9\x1b]0;t\x07\x0e\xda\xc4\xbf\x7f\r\n')
    write(t, 'c1', b'\x01\xc2\x9b6n\xc2\x9d0;x\x07\xc2\x90q\xf8\xa1\xa1\xa1\xa1\xed\xa0\x80\xc0\xaf')
    write(t, 'leadcrlf', b'\x04abc\xb4\r\nnext\xb4')
write('keydecode', 'fkeys', '\x03' + ESC + 'OP' + ESC + 'OS' + ESC + '[11~' + ESC + '[15~' + ESC + '[24~' +
      ESC + '[[A' + ESC + '[[E')
write('keydecode', 'modified', '\x05' + ESC + '[1;5P' + ESC + '[1;3S' + ESC + '[15;2~' + ESC + '[24;5~' +
      ESC + '[1;2A' + ESC + '[A' + ESC + 'OD')
write('keydecode', 'alt', '\x07' + ESC + 'x' + ESC + 'X' + ESC + '1' + ESC + '\x01' + ESC + ESC + 'a\x7fb' + ESC)
write('keydecode', 'odd', '\x00' + ESC + '[?1;2c' + ESC + '[' + '9' * 40 + '~' + ESC + '[1\x01' + ESC + '[ q' + ESC + '[')

# Settings file.
write('settings', 'saved', 'C1 B115200 P0 D8 S1\nFprog.exe Aone Atwo \nXa.exe Xb.exe \nw25\n')
write('settings', 'odd', 'c-5 b99999999999 p7 d+8 s-1 W\tf' + 'n' * 150 + ' ' + 'A' * 12 + ' A ' * 14 +
      ' X' * 12 + '\r\nw-2147483648 \x00Fz\x0b\x0cq')

# Scripts.
write('script', 'loop', '//I:n=3\r\n//L:top\r\n/senddata hello, world\r\n//P:n\r\n//G:top,n\r\n/sendhex 41 42 "xyz 7\r\n'
      '/pause 1\r\n/cls\r\nend\r\n')
write('script', 'counted', '//I:i=0\n//L:a\n/sendcmd $01M\n//IL:a,i,5\n//P:i\n//P:nothere\n/run s.txt\n/quit\n')
write('script', 'limits', '//I:' + 'v' * 30 + '=2147483647\n' + ''.join('//L:l%d\n' % i for i in range(12)) +
      '/sendhex ' + 'ff' * 150 + ' ' + 'a' * 90 + '\n/senddata ' + ' w' * 40 + '\n//G:l3\n/load s.txt\n')

# Line mode: operation bytes (0/1 key, 2 option word, 3 reply, 4 steps).
def lm_keys(text):
    out = b''
    for c in text.encode('latin-1'):
        out += bytes([0, c])
    return out


def lm_word(w):
    return bytes([2, len(w)]) + w.encode('latin-1')


def lm_reply(r):
    return bytes([3, len(r)]) + r.encode('latin-1')


write('linemode', 'repeat', lm_keys('/C$01M /R3 /TO100 /TC0\r') + b'\x04' * 3 + lm_reply('!01QIO\r') + b'\x04' * 6)
write('linemode', 'pattern', lm_keys('/CTest /P2 /TO50\r') + b'\x04' + lm_reply('Test1\r') + b'\x04\x04' +
      lm_keys('/N2\r') + b'\x04' + lm_reply('Test0000000000000000\r') + b'\x04' * 4)
write('linemode', 'scan', lm_keys('/AB1 /AE4 /BB9600 /BE19200 /TA0 /S\r') + b'\x04' * 20 + lm_word('/CH0A0B0C0') +
      lm_word('/W3') + lm_word('/LF1') + lm_word('/M0') + lm_word('/Q'))
write('linemode', 'typed', lm_keys('abc\x08\x08x' + 'y' * 85 + '\r'))

# Upload: chunk selector, then the controller's side after the start byte.
data = bytes((i * 7 + 1) & 0xFF for i in range(300))
good = block(record(b'up.txt', 300), 29) + block(data[:256], 256) + block(data[256:], 44)
write('upload', 'good', b'\x02' + good)
bad = bytearray(block(record(b'up.txt', 300), 29))
bad[100] ^= 1
write('upload', 'crc_retry', b'\x00' + bytes(bad) + good)
write('upload', 'three_crc', b'\x05' + block(record(b'x.bin', 600), 29) + bytes(bad) * 3)
write('upload', 'big_count', b'\x07' + block(record(b'x.bin', 600), 29) + block(data, 4000))
for i, name in enumerate([b'../evil.txt', b'/tmp/evil', b'abcdefghijklm', b'C:evil.txt', b'..', b'CON', b'a.',
                          b'sub/x', b'\x01ctl']):
    write('upload', 'name%d' % i, bytes([i & 7]) + block(record(name, 10), 29) + block(b'0123456789', 10))
write('upload', 'empty_record', b'\x03' + block(b'', 0))
write('upload', 'short', b'\x01' + good[:400])

# Packet monitor: length byte (pieces of 3 * n bytes, 0xFF resets) and data.
blk = block(b'hello', 5)
write('packet', 'two_blocks', bytes([87]) + blk[:261] + bytes([86]) + blk[:258] + b'\xff' + bytes([10]) + blk[:30])
write('packet', 'bad_block', bytes([87]) + blk[:100] + b'\x00' + blk[100:259] + b'\x01')

# CAN board: operation bytes (see can_fuzz.cpp).
rec = bytes([0x88, 0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 1, 0, 0, 0])
std = bytes([0x42, 0x24, 0x60]) + bytes(18)
write('canrx', 'batch', rec + bytes([1, 0, 0]) + rec + bytes([1, 0, 1]) + std + bytes([2, 0, 2]) + bytes([5, 3]) +
      bytes([2, 1, 1, 5, 1]))
write('canrx', 'hostile', rec + bytes([2, 0, 200, 2, 1, 0, 2, 0, 65, 3, 0x40, 3, 0xF0, 4, 1, 5, 5, 4, 0, 1, 2]) +
      bytes([5, 7, 7, 1, 9]))
write('canrx', 'send', rec + bytes([8, 1, 0x78, 0x56, 0x34, 0x12, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 8, 0, 0xFF, 7, 0, 0,
                                    20, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x60, 9]))
