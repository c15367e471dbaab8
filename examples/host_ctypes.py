"""A Python host: the library through ctypes.

    python3 host_ctypes.py /usr/lib/x86_64-linux-gnu/libovdelete.so.1 'DIR/*.tmp'

Arguments are bytes in the ANSI code page (on Linux, the bytes of the file
names as they are); a str must be encoded first.  On 32-bit Windows load
the DLL with ctypes.WinDLL, whose functions use __stdcall; ctypes.CDLL
elsewhere.
"""
import ctypes
import sys


def load(path):
    loader = ctypes.WinDLL if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4 else ctypes.CDLL
    library = loader(path)
    library.FileDeleteWC.argtypes = [ctypes.c_char_p]
    library.FileDeleteWC.restype = ctypes.c_int
    library.PasteArgs.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    library.PasteArgs.restype = ctypes.c_int
    return library


def main():
    library = load(sys.argv[1])
    pattern = sys.argv[2].encode(sys.getfilesystemencoding(), "surrogateescape")
    print("FileDeleteWC: %d" % library.FileDeleteWC(pattern))
    # The buffer must hold the name, its NUL and the 20-character template.
    buffer = ctypes.create_string_buffer(64)
    known = library.PasteArgs(b"FileDeleteWC", buffer)
    print("PasteArgs: 0x%08X %s" % (known, buffer.value.decode("ascii")))


if __name__ == "__main__":
    main()
