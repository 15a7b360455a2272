"""Library anchor of the codec benchmark: Python's xmlrpc.client loads then
dumps each fixture, for about SECONDS each.
    python3 codec_python.py SECONDS FILE...
Prints "RESULT python file=NAME roundtrip=N" (messages per second)."""
import os
import sys
import time
import xmlrpc.client


def main():
    seconds = float(sys.argv[1])
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        count = 0
        start = time.monotonic()
        now = start
        while now - start < seconds:
            for _ in range(16):
                params, name = xmlrpc.client.loads(text)
                xmlrpc.client.dumps(params, name)
            count += 16
            now = time.monotonic()
        print("RESULT python file=%s roundtrip=%.0f" % (os.path.basename(path), count / (now - start)))


if __name__ == "__main__":
    main()
