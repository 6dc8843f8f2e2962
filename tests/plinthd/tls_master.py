#!/usr/bin/python3
"""A Modbus/TCP Security master for the tests: MBAP frames over Python's ssl.

  tls_master.py --port P --ca CA [--cert C --key K] [--source ADDR] ACTION ...
  ACTION: read ADDR COUNT | write ADDR VALUE | handshakes N |
          hold SECONDS | pymodbus-read ADDR COUNT | pymodbus-write ADDR VALUE

"hold" reads register 0, prints its line at once and keeps the session
open for SECONDS (for a look at the daemon's status meanwhile).

Prints one line: "OK" and the values read, "EXC" and the exception code,
or "REFUSED" and the reason (handshake refused, connection closed before an
answer). Exit status 0 for every one of these, 2 for a usage error.
"""
import argparse
import logging
import socket
import ssl
import struct
import sys
import time


def context(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(args.ca)
    ctx.check_hostname = False
    if args.cert:
        ctx.load_cert_chain(args.cert, args.key)
    return ctx


def connect(args, ctx):
    raw = socket.create_connection((args.host, args.port), timeout=5,
                                   source_address=(args.source, 0) if args.source else None)
    # As Modbus masters do: a request is not held back until the server
    # acknowledges the handshake's last flight.
    raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return ctx.wrap_socket(raw, server_hostname=args.host)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed by the server")
        data += chunk
    return data


def transact(sock, tid, pdu):
    sock.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu)
    head = recv_exact(sock, 7)
    _, _, length, _ = struct.unpack(">HHHB", head)
    return recv_exact(sock, length - 1)


def answer(pdu, function):
    if pdu[0] == function | 0x80:
        return "EXC %d" % pdu[1]
    if function == 3:
        count = pdu[1] // 2
        return "OK " + " ".join(str(v) for v in struct.unpack(">%dH" % count, pdu[2:2 + 2 * count]))
    return "OK"


def plain_ssl(args):
    ctx = context(args)
    try:
        sock = connect(args, ctx)
    except (ssl.SSLError, OSError) as err:
        return "REFUSED handshake: %s" % err
    try:
        if args.action == "hold":
            print(answer(transact(sock, 1, struct.pack(">BHH", 3, 0, 1)), 3), flush=True)
            time.sleep(float(args.values[0]))
            return None
        if args.action == "pipelined":
            # Several requests, one TLS record each, corked into one segment:
            # the server reads them in one go and must answer every one
            # without waiting for more from the master.
            count = int(args.values[0])
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
            for i in range(count):
                pdu = struct.pack(">BHH", 3, i, 1)
                sock.sendall(struct.pack(">HHHB", i + 1, 0, len(pdu) + 1, 1) + pdu)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 0)
            values = []
            for i in range(count):
                _, _, length, _ = struct.unpack(">HHHB", recv_exact(sock, 7))
                values.append(answer(recv_exact(sock, length - 1), 3)[3:])
            return "OK " + " ".join(values)
        if args.action == "read":
            pdu = struct.pack(">BHH", 3, int(args.values[0]), int(args.values[1]))
            return answer(transact(sock, 1, pdu), 3)
        pdu = struct.pack(">BHH", 6, int(args.values[0]), int(args.values[1]))
        return answer(transact(sock, 1, pdu), 6)
    except (ssl.SSLError, OSError, ConnectionError) as err:
        # TLS 1.3: a refused client certificate shows after the handshake.
        return "REFUSED after handshake: %s" % err
    finally:
        sock.close()


def handshakes(args):
    ctx = context(args)
    done = 0
    for i in range(int(args.values[0])):
        sock = connect(args, ctx)
        try:
            if not answer(transact(sock, i & 0xFFFF, struct.pack(">BHH", 3, 0, 1)), 3).startswith("OK"):
                break
            done += 1
        finally:
            sock.close()
    return "OK %d" % done


def pymodbus(args):
    """pymodbus 3.0 (Debian 12): its TLS clients frame requests without the
    MBAP header by default (ModbusTlsFramer); Modbus/TCP Security keeps it,
    so the socket framer is chosen. Its synchronous TLS client waits in
    select() for bytes its SSL layer already holds and fails on answers
    longer than 8 bytes: the asynchronous client is used."""
    import asyncio
    from pymodbus.client import AsyncModbusTlsClient
    # The socket (MBAP) framer: an enum in later pymodbus (Debian 13), a
    # class in 3.0.
    try:
        from pymodbus import FramerType
        socket_framer = FramerType.SOCKET
    except ImportError:
        try:
            from pymodbus import Framer
            socket_framer = Framer.SOCKET
        except ImportError:
            from pymodbus.framer.socket_framer import ModbusSocketFramer as socket_framer

    # pymodbus 3.8 logs every exception answer; the answer is printed here.
    logging.disable(logging.CRITICAL)

    async def run():
        try:
            client = AsyncModbusTlsClient(args.host, port=args.port, sslctx=context(args),
                                          framer=socket_framer, timeout=3, retries=0)
        except TypeError:
            # Later versions (3.8, Debian 13) take only their TLS framer,
            # which frames with the MBAP header as Modbus/TCP Security does.
            client = AsyncModbusTlsClient(args.host, port=args.port, sslctx=context(args),
                                          timeout=3, retries=0)
        await client.connect()
        if not client.connected:
            return "REFUSED connect"
        try:
            if args.action == "pymodbus-read":
                r = await client.read_holding_registers(int(args.values[0]),
                                                        count=int(args.values[1]), slave=1)
            else:
                r = await client.write_register(int(args.values[0]), int(args.values[1]),
                                                slave=1)
            if r.isError():
                return "EXC %d" % getattr(r, "exception_code", -1)
            if args.action != "pymodbus-read":
                return "OK"
            return "OK" + "".join(" %d" % v for v in r.registers)
        except Exception as err:  # pymodbus reports a lost connection as its own exceptions
            return "REFUSED %s" % err
        finally:
            result = client.close()
            if asyncio.iscoroutine(result):
                await result

    return asyncio.run(run())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--source")
    parser.add_argument("action", choices=["read", "write", "handshakes", "hold", "pipelined",
                                           "pymodbus-read",
                                           "pymodbus-write"])
    parser.add_argument("values", nargs="*")
    args = parser.parse_args()
    if args.action in ("read", "write", "hold", "pipelined"):
        line = plain_ssl(args)
        if line is not None:
            print(line)
    elif args.action == "handshakes":
        print(handshakes(args))
    else:
        print(pymodbus(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
