#!/usr/bin/env python3
"""A simulated iPhone behind a usbmuxd socket, for the device tests.

It serves the usbmuxd protocol on a unix socket (the client finds it through
USBMUXD_SOCKET_ADDRESS=UNIX:<path>) and behaves as one attached phone: lockdown (plain or TLS
sessions), the notification proxy, AFC with the sync lock file, and mobilebackup2, which on
"Backup" uploads the files of a backup folder (Manifest.db, Manifest.plist, the data files in
two-level folders, Status.plist last) through the DL message sequence a phone uses. Faults are
switched on through the JSON configuration. Every request it sees goes to an event log (JSON
lines) that the tests read.

Usage: iphone_sim.py --socket PATH --backup DIR --events FILE [--config JSON]
The first line on stdout is "USBMUXD_SOCKET_ADDRESS=UNIX:<abs path> udid=<udid>".
SIGTERM (or SIGINT) ends it at once; SIGUSR1 unplugs the phone, SIGUSR2 plugs it back in.

Configuration keys (all optional):
  udid, device_name, device_class, product_version, product_type, build_version, serial
  plugged            false: no phone attached at start
  session_ssl        lockdown sessions switch to TLS
  service_ssl        service connections use TLS
  backup_password    the phone encrypts its backups with this password
  changepw_error     ErrorCode for a refused password change (default 207)
  restore_fails      a request that sets a new backup password is refused
  afc_lock_busy      the sync lock answers "would block" this many times
  final_error        [code, text]: the backup ends with this ErrorCode
  unplug_after_upload_bytes  N: unplugged in the middle of the upload, after N data bytes
  cancel_after_files N: the phone cancels (syncCancelRequest) after N uploaded files
  stall_before_first_dl      seconds of silence before the first DL message
  stall_mid_file     seconds of silence in the middle of the first data file
  unwritable_file    true: the upload starts with a file in a folder never created
  upload_batch       files per UploadFiles message (default 4)
  upload_delay       seconds to wait after each uploaded file
"""

import argparse
import json
import os
import plistlib
import selectors
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

LOCKDOWN_PORT = 62078
SERVICES = ("com.apple.mobile.notification_proxy", "com.apple.afc", "com.apple.mobilebackup2")
CANCEL = "com.apple.itunes-client.syncCancelRequest"

AFC_MAGIC = b"CFA6LPAA"
AFC_STATUS, AFC_DATA, AFC_GET_FILE_INFO, AFC_GET_DEVINFO = 0x01, 0x02, 0x0A, 0x0B
AFC_FILE_OPEN, AFC_FILE_OPEN_RES, AFC_READ, AFC_WRITE = 0x0D, 0x0E, 0x0F, 0x10
AFC_FILE_CLOSE, AFC_FILE_LOCK = 0x14, 0x1B
AFC_E_NOT_FOUND, AFC_E_WOULD_BLOCK = 8, 19

CODE_SUCCESS, CODE_ERROR_LOCAL, CODE_FILE_DATA = 0x00, 0x06, 0x0C
CHUNK = 32768


class Gone(Exception):
    """The connection ended (closed by the computer or by an unplug)."""


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        try:
            part = sock.recv(n - len(data))
        except (OSError, ValueError):
            raise Gone()
        if not part:
            raise Gone()
        data += part
    return data


def send_all(sock, data):
    try:
        sock.sendall(data)
    except (OSError, ValueError):
        raise Gone()


def signed(value):
    """libplist sends negative status codes as 64-bit unsigned values."""
    if isinstance(value, int) and value >= 1 << 63:
        return value - (1 << 64)
    return value


def to_json(value):
    if isinstance(value, bytes):
        return {"bytes": len(value)}
    if isinstance(value, dict):
        return {k: to_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    if isinstance(value, int):
        return signed(value)
    if isinstance(value, (str, float, bool)) or value is None:
        return value
    return str(value)


class Simulator:
    def __init__(self, config, backup_dir, events_path):
        self.cfg = config
        self.backup_dir = backup_dir
        self.lock = threading.RLock()
        self.events = open(events_path, "a", buffering=1)
        self.udid = config.get("udid", "00008030-001A2D3C0E38802E")
        self.plugged = config.get("plugged", True)
        self.password = config.get("backup_password")
        self.lock_busy = int(config.get("afc_lock_busy", 0))
        self.ports = {}
        self.next_port = 49152
        self.streams = set()
        self.listeners = set()
        self.np_conns = []
        self.buid = str(uuid.uuid4()).upper()
        self.escrow = os.urandom(32)
        self.host_id = str(uuid.uuid4()).upper()
        self.cert, self.key = b"-", b"-"
        self.tls = None
        if config.get("session_ssl") or config.get("service_ssl"):
            self.make_tls()

    # ----- bookkeeping ---------------------------------------------------------------------

    def log(self, kind, **fields):
        fields["ev"] = kind
        with self.lock:
            self.events.write(json.dumps(to_json(fields)) + "\n")

    def make_tls(self):
        folder = tempfile.mkdtemp(prefix="iphone-sim-")
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=Simulated iPhone"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(cert, "rb") as f:
            self.cert = f.read()
        with open(key, "rb") as f:
            self.key = f.read()
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.set_ciphers("ALL:@SECLEVEL=0")
        ctx.load_cert_chain(cert, key)
        self.tls = ctx

    def device_entry(self):
        return {"DeviceID": 1, "MessageType": "Attached",
                "Properties": {"ConnectionType": "USB", "DeviceID": 1, "LocationID": 0,
                               "ProductID": 0x12A8, "SerialNumber": self.udid,
                               "ConnectionSpeed": 480000000}}

    def unplug(self):
        with self.lock:
            if not self.plugged:
                return
            self.plugged = False
            streams = list(self.streams)
            listeners = list(self.listeners)
        self.log("unplug")
        for s in streams:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for conn, tag in listeners:
            try:
                self.mux_send(conn, 0, {"MessageType": "Detached", "DeviceID": 1})
            except Gone:
                pass

    def plug(self):
        with self.lock:
            if self.plugged:
                return
            self.plugged = True
            listeners = list(self.listeners)
        self.log("plug")
        for conn, tag in listeners:
            try:
                self.mux_send(conn, 0, self.device_entry())
            except Gone:
                pass

    # ----- usbmuxd ---------------------------------------------------------------------------

    def mux_send(self, conn, tag, payload):
        body = plistlib.dumps(payload, fmt=plistlib.FMT_XML)
        send_all(conn, struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)

    def mux_result(self, conn, tag, number):
        self.mux_send(conn, tag, {"MessageType": "Result", "Number": number})

    def serve_mux(self, conn):
        try:
            while True:
                length, _version, _message, tag = struct.unpack("<IIII", recv_exact(conn, 16))
                request = plistlib.loads(recv_exact(conn, length - 16))
                kind = request.get("MessageType")
                self.log("mux", msg=kind)
                if kind == "ListDevices":
                    with self.lock:
                        devices = [self.device_entry()] if self.plugged else []
                    self.mux_send(conn, tag, {"DeviceList": devices})
                elif kind == "Listen":
                    self.mux_result(conn, tag, 0)
                    with self.lock:
                        self.listeners.add((conn, tag))
                        plugged = self.plugged
                    if plugged:
                        self.mux_send(conn, 0, self.device_entry())
                    while conn.recv(64):
                        pass
                    return
                elif kind == "Connect":
                    raw = int(request.get("PortNumber", 0))
                    port = ((raw & 0xFF) << 8) | (raw >> 8)
                    with self.lock:
                        plugged = self.plugged
                        service = self.ports.get(port)
                    if not plugged or request.get("DeviceID") != 1:
                        self.mux_result(conn, tag, 2)
                    elif port == LOCKDOWN_PORT:
                        self.mux_result(conn, tag, 0)
                        self.stream(conn, self.serve_lockdown)
                        return
                    elif service:
                        self.mux_result(conn, tag, 0)
                        self.stream(conn, lambda s: self.serve_service(s, *service))
                        return
                    else:
                        self.mux_result(conn, tag, 3)
                elif kind == "ReadBUID":
                    self.mux_send(conn, tag, {"BUID": self.buid})
                elif kind == "ReadPairRecord":
                    record = {"DeviceCertificate": self.cert, "EscrowBag": self.escrow,
                              "HostCertificate": self.cert, "HostID": self.host_id,
                              "HostPrivateKey": self.key, "RootCertificate": self.cert,
                              "RootPrivateKey": self.key, "SystemBUID": self.buid,
                              "WiFiMACAddress": "00:11:22:33:44:55"}
                    data = plistlib.dumps(record, fmt=plistlib.FMT_XML)
                    self.mux_send(conn, tag, {"PairRecordData": data})
                elif kind in ("SavePairRecord", "DeletePairRecord"):
                    self.mux_result(conn, tag, 0)
                else:
                    self.mux_result(conn, tag, 1)
        except Gone:
            pass
        finally:
            with self.lock:
                self.listeners = {(c, t) for c, t in self.listeners if c is not conn}
            conn.close()

    def stream(self, conn, handler):
        with self.lock:
            self.streams.add(conn)
        try:
            handler(conn)
        except Gone:
            pass
        finally:
            with self.lock:
                self.streams.discard(conn)

    # ----- plist framing ---------------------------------------------------------------------

    @staticmethod
    def recv_plist(sock):
        (length,) = struct.unpack(">I", recv_exact(sock, 4))
        return plistlib.loads(recv_exact(sock, length))

    @staticmethod
    def send_plist(sock, value, binary=False):
        body = plistlib.dumps(value, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
        send_all(sock, struct.pack(">I", len(body)) + body)

    # ----- lockdown --------------------------------------------------------------------------

    def values(self):
        return {"BuildVersion": self.cfg.get("build_version", "18C66"),
                "DeviceClass": self.cfg.get("device_class", "iPhone"),
                "DeviceName": self.cfg.get("device_name", "Simulated iPhone"),
                "ProductType": self.cfg.get("product_type", "iPhone12,1"),
                "ProductVersion": self.cfg.get("product_version", "14.3"),
                "SerialNumber": self.cfg.get("serial", "F2LXK0AAHG7F"),
                "UniqueDeviceID": self.udid,
                "PhoneNumber": "+33 6 12 34 56 78",
                "InternationalMobileEquipmentIdentity": "356938035643809"}

    def get_value(self, domain, key):
        if domain is None:
            table = self.values()
        elif domain == "com.apple.mobile.backup":
            table = {"WillEncrypt": self.password is not None}
        elif domain == "com.apple.iTunes":
            table = {"MinITunesVersion": "10.0.1"}
        else:
            table = {}
        return table if key is None else table.get(key)

    def serve_lockdown(self, sock):
        state = {"tls": None}
        try:
            self.lockdown_session(sock, state)
        finally:
            if state["tls"] is not None:
                with self.lock:
                    self.streams.discard(state["tls"])
                state["tls"].close()

    def lockdown_session(self, sock, state):
        plain = sock
        tls = None
        while True:
            state["tls"] = tls
            request = self.recv_plist(tls or plain)
            name = request.get("Request")
            self.log("lockdown", req=name, domain=request.get("Domain"), key=request.get("Key"),
                     service=request.get("Service"), tls=tls is not None,
                     escrow=request.get("EscrowBag") == self.escrow if "EscrowBag" in request else None)
            reply = {"Request": name}
            if name == "QueryType":
                reply["Type"] = "com.apple.mobile.lockdown"
            elif name == "GetValue":
                value = self.get_value(request.get("Domain"), request.get("Key"))
                if value is None:
                    reply["Error"] = "MissingValue"
                else:
                    reply["Value"] = value
            elif name == "StartSession":
                reply["SessionID"] = str(uuid.uuid4()).upper()
                reply["EnableSessionSSL"] = bool(self.cfg.get("session_ssl"))
                self.send_plist(plain, reply)
                if self.cfg.get("session_ssl"):
                    tls = self.wrap(plain)
                    state["tls"] = tls
                continue
            elif name == "StopSession":
                self.send_plist(tls or plain, reply)
                if tls:
                    try:
                        plain = tls.unwrap()
                    except (OSError, ssl.SSLError, ValueError):
                        tls.close()
                        raise Gone()
                    with self.lock:
                        self.streams.discard(tls)
                        self.streams.add(plain)
                    tls = None
                continue
            elif name == "StartService":
                service = request.get("Service")
                if service not in SERVICES:
                    reply["Error"] = "InvalidService"
                else:
                    with self.lock:
                        port = self.next_port
                        self.next_port += 1
                        self.ports[port] = (service, bool(self.cfg.get("service_ssl")))
                    reply.update(Service=service, Port=port,
                                 EnableServiceSSL=bool(self.cfg.get("service_ssl")))
            self.send_plist(tls or plain, reply)

    # ----- services --------------------------------------------------------------------------

    def wrap(self, sock):
        """TLS over `sock`; the wrapped socket takes the place of `sock` among the streams an
        unplug cuts."""
        try:
            wrapped = self.tls.wrap_socket(sock, server_side=True)
        except (OSError, ssl.SSLError):
            raise Gone()
        with self.lock:
            self.streams.discard(sock)
            self.streams.add(wrapped)
        return wrapped

    def serve_service(self, sock, service, use_tls):
        self.log("service", name=service, tls=use_tls)
        conn = self.wrap(sock) if use_tls else sock
        try:
            if service == "com.apple.mobile.notification_proxy":
                self.serve_np(conn)
            elif service == "com.apple.afc":
                self.serve_afc(conn)
            else:
                self.serve_backup(conn)
        finally:
            with self.lock:
                self.streams.discard(conn)
            conn.close()

    def serve_np(self, conn):
        entry = {"conn": conn, "observed": set(), "send": threading.Lock()}
        with self.lock:
            self.np_conns.append(entry)
        try:
            while True:
                request = self.recv_plist(conn)
                command = request.get("Command")
                self.log("np", cmd=command, name=request.get("Name"))
                if command == "ObserveNotification":
                    entry["observed"].add(request.get("Name"))
                elif command == "Shutdown":
                    with entry["send"]:
                        self.send_plist(conn, {"Command": "ProxyDeath"})
                    return
        finally:
            with self.lock:
                self.np_conns.remove(entry)

    def relay(self, name):
        with self.lock:
            targets = [e for e in self.np_conns if name in e["observed"]]
        self.log("relay", name=name, observers=len(targets))
        for entry in targets:
            try:
                with entry["send"]:
                    self.send_plist(entry["conn"], {"Command": "RelayNotification", "Name": name})
            except Gone:
                pass

    def serve_afc(self, conn):
        files = {"/com.apple.itunes.lock_sync": b"",
                 "/iTunes_Control/iTunes/iTunesPrefs": b"simulated iTunes preferences"}
        handles = {}
        next_handle = 1
        while True:
            magic, entire, this_len, number, op = struct.unpack("<8sQQQQ", recv_exact(conn, 40))
            if magic != AFC_MAGIC:
                raise Gone()
            data = recv_exact(conn, this_len - 40) + recv_exact(conn, entire - this_len)

            def reply(code, payload=b""):
                size = 40 + len(payload)
                send_all(conn, struct.pack("<8sQQQQ", AFC_MAGIC, size, size, number, code) + payload)

            def status(code):
                reply(AFC_STATUS, struct.pack("<Q", code))

            if op == AFC_FILE_OPEN:
                mode = struct.unpack("<Q", data[:8])[0]
                path = data[8:].split(b"\0")[0].decode()
                self.log("afc", op="open", path=path, mode=mode)
                if path in files or mode != 1:
                    files.setdefault(path, b"")
                    handles[next_handle] = [path, 0]
                    reply(AFC_FILE_OPEN_RES, struct.pack("<Q", next_handle))
                    next_handle += 1
                else:
                    status(AFC_E_NOT_FOUND)
            elif op == AFC_FILE_LOCK:
                handle, lock_op = struct.unpack("<QQ", data[:16])
                with self.lock:
                    busy = lock_op & 2 and self.lock_busy > 0
                    if busy:
                        self.lock_busy -= 1
                answer = AFC_E_WOULD_BLOCK if busy else 0
                self.log("afc", op="lock", lock=lock_op, answer=answer)
                status(answer)
            elif op == AFC_FILE_CLOSE:
                handles.pop(struct.unpack("<Q", data[:8])[0], None)
                self.log("afc", op="close")
                status(0)
            elif op == AFC_GET_FILE_INFO:
                path = data.split(b"\0")[0].decode()
                self.log("afc", op="info", path=path)
                if path in files:
                    info = ["st_size", str(len(files[path])), "st_blocks", "8", "st_nlink", "1",
                            "st_ifmt", "S_IFREG", "st_mtime", "1600000000000000000",
                            "st_birthtime", "1600000000000000000"]
                    reply(AFC_DATA, b"\0".join(x.encode() for x in info) + b"\0")
                else:
                    status(AFC_E_NOT_FOUND)
            elif op == AFC_READ:
                handle, length = struct.unpack("<QQ", data[:16])
                entry = handles.get(handle)
                if not entry:
                    status(7)
                    continue
                chunk = files[entry[0]][entry[1]:entry[1] + length]
                entry[1] += len(chunk)
                reply(AFC_DATA, chunk)
            elif op == AFC_GET_DEVINFO:
                reply(AFC_DATA, b"Model\0iPhone12,1\0FSTotalBytes\0" b"64000000000\0")
            else:
                self.log("afc", op=op)
                status(0)

    # ----- mobilebackup2 ---------------------------------------------------------------------

    def dl_send(self, conn, message):
        self.send_plist(conn, message, binary=True)

    def dl_status(self, conn, what):
        reply = self.recv_plist(conn)
        if not isinstance(reply, list) or not reply or reply[0] != "DLMessageStatusResponse":
            self.log("dl_unexpected", after=what, message=reply)
            return None
        code = signed(reply[1]) if len(reply) > 1 else None
        text = reply[2] if len(reply) > 2 else None
        value = reply[3] if len(reply) > 3 else None
        self.log("status", msg=what, code=code, text=text, value=value)
        return code

    def serve_backup(self, conn):
        self.dl_send(conn, ["DLMessageVersionExchange", 300, 0])
        answer = self.recv_plist(conn)
        self.log("dl", msg="version", answer=answer)
        self.dl_send(conn, ["DLMessageDeviceReady"])
        while True:
            message = self.recv_plist(conn)
            if not isinstance(message, list) or not message:
                continue
            if message[0] == "DLMessageDisconnect":
                self.log("dl", msg="disconnect")
                return
            if message[0] != "DLMessageProcessMessage" or len(message) < 2:
                self.log("dl", msg=message[0])
                continue
            request = message[1]
            name = request.get("MessageName")
            if name == "Hello":
                self.log("dl", msg="Hello", versions=request.get("SupportedProtocolVersions"))
                self.dl_send(conn, ["DLMessageProcessMessage",
                                    {"MessageName": "Response", "ErrorCode": 0,
                                     "ProtocolVersion": 2.1}])
            elif name == "ChangePassword":
                self.change_password(conn, request)
            elif name == "Backup":
                self.log("backup_request", target=request.get("TargetIdentifier"),
                         source=request.get("SourceIdentifier"), options=request.get("Options"))
                self.run_backup(conn)
            else:
                self.log("dl", msg=name)
                self.dl_send(conn, ["DLMessageProcessMessage",
                                    {"MessageName": "Response", "ErrorCode": 1,
                                     "ErrorDescription": "not supported"}])

    def change_password(self, conn, request):
        old, new = request.get("OldPassword"), request.get("NewPassword")
        refused = int(self.cfg.get("changepw_error", 207))
        with self.lock:
            if new is None:  # encryption off
                ok = old is not None and (self.password is None or old == self.password)
                if ok:
                    self.password = None
            elif old is None:  # encryption on
                ok = self.password is None and not self.cfg.get("restore_fails")
                if ok:
                    self.password = new
            else:
                ok = old == self.password
                if ok:
                    self.password = new
            encrypting = self.password is not None
        self.log("changepw", old=old, new=new, ok=ok, encrypting=encrypting)
        reply = {"MessageName": "Response", "ErrorCode": 0 if ok else refused}
        if not ok:
            reply["ErrorDescription"] = "The password is not correct"
        self.dl_send(conn, ["DLMessageProcessMessage", reply])

    def read_download(self, conn):
        """The computer's answer to DLMessageDownloadFiles: path, blocks, ... until a zero."""
        while True:
            (length,) = struct.unpack(">I", recv_exact(conn, 4))
            if length == 0:
                return
            path = recv_exact(conn, length).decode()
            data = b""
            while True:
                (size,) = struct.unpack(">I", recv_exact(conn, 4))
                code = recv_exact(conn, 1)[0]
                body = recv_exact(conn, size - 1)
                if code == CODE_FILE_DATA:
                    data += body
                    continue
                if code == CODE_SUCCESS:
                    self.log("download", path=path, ok=True, size=len(data))
                else:
                    self.log("download", path=path, ok=False, code=code,
                             error=body.decode(errors="replace"))
                break

    def backup_files(self):
        """(relative path in the backup, bytes) of everything the phone uploads."""
        data_files = []
        for entry in sorted(os.listdir(self.backup_dir)):
            folder = os.path.join(self.backup_dir, entry)
            if len(entry) == 2 and os.path.isdir(folder):
                for name in sorted(os.listdir(folder)):
                    with open(os.path.join(folder, name), "rb") as f:
                        data_files.append((entry + "/" + name, f.read()))
        with open(os.path.join(self.backup_dir, "Manifest.db"), "rb") as f:
            manifest_db = f.read()
        manifest_path = os.path.join(self.backup_dir, "Manifest.plist")
        manifest = {}
        if os.path.exists(manifest_path):
            with open(manifest_path, "rb") as f:
                manifest = plistlib.load(f)
        with self.lock:
            encrypted = self.password is not None
        manifest["IsEncrypted"] = encrypted
        self.log("backup_encrypted", value=encrypted)
        status = {"BackupState": "new", "Date": time.strftime("%Y-%m-%dT%H:%M:%SZ"),
                  "IsFullBackup": True, "SnapshotState": "finished",
                  "UUID": str(uuid.uuid4()).upper(), "Version": "3.3"}
        return data_files, manifest_db, plistlib.dumps(manifest, fmt=plistlib.FMT_BINARY), \
            plistlib.dumps(status, fmt=plistlib.FMT_BINARY)

    def upload(self, conn, files, progress, state):
        """One DLMessageUploadFiles with its raw stream. `state` carries the fault counters."""
        total = sum(len(data) for _, data in files)
        self.dl_send(conn, ["DLMessageUploadFiles", {}, float(progress), total])
        for relative, data in files:
            name = relative.encode()
            send_all(conn, struct.pack(">I", len(name)) + name)
            send_all(conn, struct.pack(">I", len(name)) + name)
            offset = 0
            while offset < len(data):
                chunk = data[offset:offset + CHUNK]
                limit = self.cfg.get("unplug_after_upload_bytes")
                if limit is not None and state["bytes"] + len(chunk) > limit:
                    part = max(1, limit - state["bytes"])
                    send_all(conn, struct.pack(">I", len(chunk) + 1) + bytes([CODE_FILE_DATA]) +
                             chunk[:part])
                    time.sleep(0.2)
                    self.unplug()
                    raise Gone()
                stall = self.cfg.get("stall_mid_file")
                if stall and not state.get("stalled") and len(chunk) > 1:
                    state["stalled"] = True
                    half = len(chunk) // 2
                    send_all(conn, struct.pack(">I", len(chunk) + 1) + bytes([CODE_FILE_DATA]) +
                             chunk[:half])
                    self.log("stall", seconds=stall, path=relative)
                    time.sleep(float(stall))
                    send_all(conn, chunk[half:])
                else:
                    send_all(conn, struct.pack(">I", len(chunk) + 1) + bytes([CODE_FILE_DATA]) +
                             chunk)
                state["bytes"] += len(chunk)
                offset += len(chunk)
            send_all(conn, struct.pack(">I", 1) + bytes([CODE_SUCCESS]))
            state["files"] += 1
            if state.get("cancelled"):
                time.sleep(0.3)  # a phone that has asked to stop goes on slowly
            elif self.cfg.get("upload_delay"):
                time.sleep(float(self.cfg["upload_delay"]))
            cancel_after = self.cfg.get("cancel_after_files")
            if cancel_after is not None and state["files"] == cancel_after:
                state["cancelled"] = True
                self.relay(CANCEL)
        send_all(conn, struct.pack(">I", 0))
        return self.dl_status(conn, "DLMessageUploadFiles")

    def run_backup(self, conn):
        u = self.udid
        data_files, manifest_db, manifest_plist, status_plist = self.backup_files()
        state = {"bytes": 0, "files": 0}
        stall = self.cfg.get("stall_before_first_dl")
        if stall:
            self.log("stall", seconds=stall, path=None)
            time.sleep(float(stall))

        self.dl_send(conn, ["DLMessageDownloadFiles", [u + "/Status.plist"], {}, 0.0, 0])
        self.read_download(conn)
        self.dl_status(conn, "DLMessageDownloadFiles")

        self.dl_send(conn, ["DLMessageGetFreeDiskSpace", {}])
        self.dl_status(conn, "DLMessageGetFreeDiskSpace")

        folders = sorted({relative.split("/")[0] for relative, _ in data_files})
        for folder in ["Snapshot"] + ["Snapshot/" + f for f in folders]:
            self.dl_send(conn, ["DLMessageCreateDirectory", u + "/" + folder, {}, 1.0])
            self.dl_status(conn, "DLMessageCreateDirectory")

        uploads = [(u + "/Snapshot/" + relative, data) for relative, data in data_files]
        uploads += [(u + "/Snapshot/Manifest.db", manifest_db),
                    (u + "/Snapshot/Manifest.plist", manifest_plist)]
        if self.cfg.get("unwritable_file"):
            uploads.insert(0, (u + "/Snapshot/never-created/extra.bin", b"x" * (CHUNK + 100)))
        batch = int(self.cfg.get("upload_batch", 4))
        batches = [uploads[i:i + batch] for i in range(0, len(uploads), batch)]
        for index, files in enumerate(batches):
            self.upload(conn, files, 5.0 + 85.0 * (index + 1) / len(batches), state)

        for folder in folders:
            self.dl_send(conn, ["DLMessageCreateDirectory", u + "/" + folder, {}, 91.0])
            self.dl_status(conn, "DLMessageCreateDirectory")
        moves = {u + "/Snapshot/" + r: u + "/" + r for r, _ in data_files}
        moves[u + "/Snapshot/Manifest.db"] = u + "/Manifest.db"
        moves[u + "/Snapshot/Manifest.plist"] = u + "/Manifest.plist"
        self.dl_send(conn, ["DLMessageMoveItems", moves, {}, 95.0])
        self.dl_status(conn, "DLMessageMoveItems")
        self.dl_send(conn, ["DLMessageRemoveItems", [u + "/Snapshot"], {}, 98.0])
        self.dl_status(conn, "DLMessageRemoveItems")
        self.upload(conn, [(u + "/Status.plist", status_plist)], 100.0, state)

        final = self.cfg.get("final_error")
        code, text = (int(final[0]), final[1]) if final else (0, None)
        response = {"MessageName": "Response", "ErrorCode": code}
        if text:
            response["ErrorDescription"] = text
        self.log("backup_done", code=code, files=state["files"])
        self.dl_send(conn, ["DLMessageProcessMessage", response])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--socket", required=True)
    parser.add_argument("--backup", required=True)
    parser.add_argument("--events", required=True)
    parser.add_argument("--config", default="{}")
    args = parser.parse_args()
    sim = Simulator(json.loads(args.config), args.backup, args.events)

    path = os.path.abspath(args.socket)
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(64)
    server.setblocking(False)
    # Python runs signal handlers on the main thread only, and a signal may be delivered to
    # any thread. The main thread therefore never blocks in accept(): it waits in select() on
    # the listening socket and on a wakeup pipe, which the C-level handler writes the signal's
    # number to whatever thread took it, and wakes at least every half second.
    wake_read, wake_write = os.pipe()
    os.set_blocking(wake_read, False)
    os.set_blocking(wake_write, False)
    signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))
    signal.signal(signal.SIGUSR1, lambda *_: threading.Thread(target=sim.unplug).start())
    signal.signal(signal.SIGUSR2, lambda *_: threading.Thread(target=sim.plug).start())
    sim.log("start", config=sim.cfg)
    print("USBMUXD_SOCKET_ADDRESS=UNIX:%s udid=%s" % (path, sim.udid), flush=True)
    with selectors.DefaultSelector() as selector:
        selector.register(server, selectors.EVENT_READ)
        selector.register(wake_read, selectors.EVENT_READ)
        while True:
            for key, _ in selector.select(timeout=0.5):
                if key.fileobj == wake_read:
                    try:
                        os.read(wake_read, 512)  # the handlers have run by now
                    except BlockingIOError:
                        pass
                    continue
                try:
                    conn, _ = server.accept()
                except (BlockingIOError, InterruptedError):
                    continue
                conn.setblocking(True)
                threading.Thread(target=sim.serve_mux, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
