"""Writes the seed corpus of the fuzz targets (run once; the files are kept).

python3 tests/fuzz/make_seeds.py
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

DEFAULT = (b"[CommPortParams]\nComPort=1\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=1\n"
           b"DontCloseCommPort=0\n[TcpIpParams]\nTcpIpPort=5000\n[Debug]\nVerbose=0\n")
INI_TEXTS = [
    b"",
    DEFAULT,
    DEFAULT.replace(b"\n", b"\r\n"),
    DEFAULT.rstrip(b"\n"),
    b"; comment\n[Other]\nComPort=77\n\n[commportparams]\n  comport = 3 \nComPort=9\n# note\n"
    b"\x00\x01junk\xff=\x02\nComSpeed=9600\n\n[TcpIpParams]\nTcpIpPort=0x1388\n"
    b"[CommPortParams]\nSentDelay=7\n[Debug]\nVerbose=yes",
    b"[CommPortParams]\r\nComPort=$A\nComSpeed=1200\r\nline without equals\nSentDelay=-5\n"
    b"[TcpIpParams\nTcpIpPort=65577\n[ TcpIpParams ]\nTcpIpPort = 65576\n",
    b"[Debug]\nVerbose=2\n[Debug]\nVerbose=0\n=novalue\nkey=\n[]\n[a]b]\nx=1\r",
    b"x" * 3000 + b"\n[CommPortParams]\nComPort=" + b"9" * 40 + b"\n",
]


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def provider_string(s):
    """A string as FuzzedDataProvider.ConsumeRandomLengthString reads it."""
    return s.replace(b"\\", b"\\\\") + b"\\;"


def main():
    names = [(b"CommPortParams", b"ComPort", b"4"), (b"TcpIpParams", b"TcpIpPort", b" 6000 "),
             (b"Debug", b"Verbose", b"1"), (b"New", b"Key", b"v=w"), (b"commportparams", b"SENTDELAY", b"")]
    n = 0
    for text in INI_TEXTS:
        write("fuzz_settings", "seed%02d" % n, text)
        for sec, key, value in names:
            for disk in (0, 1):
                data = provider_string(sec) + provider_string(key) + provider_string(value) + text + bytes([disk])
                write("fuzz_profile", "seed%03d" % n, data)
                n += 1

    # A key that would read back as a comment or a header once written.
    for i, key in enumerate([b";Key", b"#Key", b"[Key]"]):
        write("fuzz_profile", "key_not_a_key%d" % i,
              provider_string(b"CommPortParams") + provider_string(key) + provider_string(b"1") + DEFAULT + b"\0")

    values = [b"0", b"1", b"-1", b"+7", b"2147483647", b"-2147483648", b"2147483648", b"0x", b"0x0A", b"0XFFFFFFFF",
              b"$A", b"$", b"$100000000", b"3x", b" 12 ", b"\t-5", b"yes", b"", b"00000000000000000001", b"-0x10",
              b"-$80000000", b"0x000000000FF"]
    for i, v in enumerate(values):
        write("fuzz_integer", "seed%02d" % i, v)

    chunks = [b"abc\x00xyz", b"\x00", b"HTTP/1.0 200 OK\r\n\r\nbody", b"\x1b]0;title\x07\x1b[2J",
              "caf\u00e9 \u009b31m".encode(), bytes(range(256))]
    for i, c in enumerate(chunks):
        write("fuzz_trace", "seed%02d" % i, provider_string(b"ComRead: ") + c)


if __name__ == "__main__":
    main()
