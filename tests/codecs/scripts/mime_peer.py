#!/usr/bin/python3
"""Independent reference for the MIME tests, using python3's email package.

  mime_peer.py gen OUTDIR     write fixture messages N.eml and what python
                              reads from them, N.expect
  mime_peer.py dump FILE      print what python reads from one message
  mime_peer.py words          read hex-encoded header values from stdin, print
                              each decoded by email.header as hex UTF-8

The .expect format, one item a line, byte strings in hex:
  defects N
  subject HEX
  text HEX        the non-empty lines of the plain-text parts, joined by LF
  att NAMEHEX DATAHEX
Plain-text parts are text/plain parts without a file name; every other leaf
is an attachment, named by its file name, or by the subject with the
extension of its type for unnamed HTML and JPEG/GIF pictures.
"""
import email
import email.policy
import os
import random
import sys
from email.header import decode_header, make_header
from email.message import EmailMessage

STRIP = set('\\/:*?"<>|')


def decoded(value):
    if value is None:
        return ''
    return str(make_header(decode_header(str(value))))


def clean(name):
    return ''.join(c for c in name if c not in STRIP and ord(c) >= 32 and ord(c) != 127)


def change_ext(name, ext):
    p = max(name.rfind('.'), name.rfind('\\'), name.rfind(':'))
    if p >= 0 and name[p] == '.':
        return name[:p] + ext
    return name + ext


def norm_text(data):
    # Empty lines are left out: the two readers disagree, by design, on
    # whether the line break before a delimiter belongs to the part.
    return b'\n'.join(l for l in data.replace(b'\r\n', b'\n').split(b'\n') if l)


def describe(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    out = []
    defects = list(msg.defects)
    for part in msg.walk():
        defects += part.defects
    out.append('defects %d' % len(defects))
    subject = decoded(msg['subject'])
    out.append('subject ' + subject.encode().hex())
    texts = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        ctype = part.get_content_type()
        name = part.get_param('name')
        if name is None:
            name = part.get_filename()
        if isinstance(name, tuple):
            name = email.utils.collapse_rfc2231_value(name)
        name = decoded(name).strip() if name else ''
        data = part.get_payload(decode=True) or b''
        if ctype == 'text/plain' and not name:
            texts.append(norm_text(data))
            continue
        if not name:
            name = subject
            ext = {'text/html': '.html', 'image/jpeg': '.jpeg', 'image/gif': '.gif'}.get(ctype)
            if ext:
                name = change_ext(name, ext)
        out.append('att %s %s' % (clean(name).encode().hex(), data.hex()))
    out.insert(2, 'text ' + b'\n'.join(texts).hex())
    return '\n'.join(out) + '\n'


def fixtures():
    rnd = random.Random(1234)
    blob = bytes(rnd.randrange(256) for _ in range(3000))
    png = b'\x89PNG\r\n\x1a\n' + bytes(rnd.randrange(256) for _ in range(700))
    smtp = email.policy.SMTP

    def base(subject):
        m = EmailMessage(policy=smtp)
        m['From'] = 'Ann Example <ann@example.org>'
        m['To'] = 'bob@example.org'
        m['Subject'] = subject
        return m

    # 1: multipart/alternative, plain and HTML, quoted-printable
    m = base('Weekly report v1.2')
    m.set_content('Hello Bob,\n\nthe figures: 3 = three, a_b stays.\n' + 'x' * 120 + '\n', cte='quoted-printable')
    m.add_alternative('<html><body><p>Hello Bob, caf\u00e9</p></body></html>\n', subtype='html', cte='quoted-printable')
    yield m.as_bytes()

    # 2: nested mixed / related / alternative with an inline picture and a PDF
    m = base('Nested')
    m.set_content('Plain body\n')
    m.add_alternative('<p>HTML body <img src="cid:pic1"></p>\n', subtype='html')
    m.get_payload()[1].add_related(png, 'image', 'png', cid='<pic1>', filename='pic.png')
    m.add_attachment(blob, maintype='application', subtype='pdf', filename='report.pdf')
    yield m.as_bytes()

    # 3: base64 text body in UTF-8
    m = base('=?utf-8?b?R3LDvMOfZQ==?=')
    m.set_content('Gr\u00fc\u00dfe aus K\u00f6ln\nZeile zwei\n', charset='utf-8', cte='base64')
    yield m.as_bytes()

    # 4: encoded-word and RFC 2231 file names, a binary attachment
    raw = (b'From: ann@example.org\r\nTo: bob@example.org\r\nSubject: names\r\nMIME-Version: 1.0\r\n'
           b'Content-Type: multipart/mixed; boundary="XyZ-1"\r\n\r\npreamble\r\n--XyZ-1\r\n'
           b'Content-Type: text/plain\r\n\r\nsee attached\r\n--XyZ-1\r\n'
           b'Content-Type: application/octet-stream; name="=?utf-8?B?R3LDvMOfZS5iaW4=?="\r\n'
           b'Content-Transfer-Encoding: base64\r\n'
           b'Content-Disposition: attachment; filename="=?utf-8?B?R3LDvMOfZS5iaW4=?="\r\n\r\n')
    import base64
    raw += base64.encodebytes(blob).replace(b'\n', b'\r\n')
    raw += b'--XyZ-1\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n'
    raw += b'Content-Disposition: attachment; filename="=?iso-8859-1?Q?r=E9sum=E9_2.txt?="\r\n\r\n'
    raw += b'caf=E9 =3D ok=\r\n joined\r\n--XyZ-1--\r\nepilogue\r\n'
    yield raw
    m = base('rfc 2231')
    m.set_content('body\n')
    m.add_attachment(b'data \x00\x01\x02', maintype='application', subtype='octet-stream',
                     filename='\u00fcber \u00e4rger.dat')
    yield m.as_bytes()

    # 6: message/rfc822 holding its own attachment
    inner = base('Inner message')
    inner.set_content('inner text\n')
    inner.add_attachment(b'inner bytes', maintype='application', subtype='octet-stream', filename='inner.bin')
    outer = base('Fwd: inner')
    outer.set_content('outer text\n')
    outer.add_attachment(inner)
    del outer.get_payload()[1]['Content-Disposition']
    yield outer.as_bytes()

    # 7: a missing closing boundary
    m = base('Cut short')
    m.set_content('first part\n')
    m.add_attachment(b'attached', maintype='application', subtype='octet-stream', filename='a.bin')
    m.add_attachment('last part text\nsecond line\n', filename='')
    raw = m.as_bytes()
    boundary = m.get_boundary().encode()
    raw = raw[:raw.rindex(b'--' + boundary + b'--')]
    yield raw

    # 8: an unnamed HTML-only message and an unnamed JPEG
    raw = (b'From: ann@example.org\r\nSubject: Photo: day 1\r\nMIME-Version: 1.0\r\n'
           b'Content-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\nContent-Type: text/html\r\n\r\n'
           b'<b>hi</b>\r\n--b1\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\n'
           + base64.encodebytes(png).replace(b'\n', b'\r\n') + b'--b1--\r\n')
    yield raw


def main():
    mode = sys.argv[1]
    if mode == 'gen':
        outdir = sys.argv[2]
        for i, raw in enumerate(fixtures(), 1):
            with open(os.path.join(outdir, '%d.eml' % i), 'wb') as f:
                f.write(raw)
            with open(os.path.join(outdir, '%d.expect' % i), 'w') as f:
                f.write(describe(raw))
    elif mode == 'dump':
        with open(sys.argv[2], 'rb') as f:
            sys.stdout.write(describe(f.read()))
    elif mode == 'words':
        for line in sys.stdin:
            line = line.strip()
            value = bytes.fromhex(line).decode('ascii') if line else ''
            print(decoded(value).encode().hex())


if __name__ == '__main__':
    main()
