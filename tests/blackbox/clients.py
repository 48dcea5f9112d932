"""Client-side helpers shared by the hostile-input, crash, disk-full and stress tests: the
requests a phone's page makes, built by hand so that any byte can be sent."""

import json
import os
import urllib.parse
import uuid

JSON_TYPE = "application/json; charset=utf-8"
INTERRUPTED = "传输中断，文件没有传完，请重试"


def error_body(message):
    return json.dumps({"error": message}, ensure_ascii=False).encode()


def multipart(files, boundary=None, star=False):
    """A multipart/form-data body with one "file" part per (file name, bytes). With star the
    name goes in filename*= (percent-encoded UTF-8, so any byte can be sent), else in a quoted
    filename=. Returns (Content-Type value, body)."""
    boundary = boundary or "----skf" + uuid.uuid4().hex
    parts = []
    for name, data in files:
        raw = name.encode("utf-8", "surrogatepass") if isinstance(name, str) else name
        if star:
            disposition = "form-data; name=\"file\"; filename*=UTF-8''" + urllib.parse.quote(raw, safe="")
        else:
            disposition = "form-data; name=\"file\"; filename=\"" + raw.decode("latin-1") + "\""
        head = ("--%s\r\nContent-Disposition: %s\r\nContent-Type: application/octet-stream\r\n\r\n"
                % (boundary, disposition)).encode("latin-1")
        parts.append(head + data + b"\r\n")
    body = b"".join(parts) + ("--%s--\r\n" % boundary).encode()
    return "multipart/form-data; boundary=" + boundary, body


def upload(server, files, folder=None, device=None, star=False, raw_query=None, timeout=120):
    """Posts files to "/api/upload" (optionally into the inbox folder `folder`); returns
    (status, parsed JSON or the raw body)."""
    content_type, body = multipart(files, star=star)
    target = "/api/upload"
    if raw_query is not None:
        target += "?" + raw_query
    elif folder is not None:
        target += "?dir=" + urllib.parse.quote(folder, safe="")
    headers = {"Content-Type": content_type}
    if device is not None:
        headers["X-Device-Name"] = urllib.parse.quote(device, safe="")
    status, _, answer = server.request("POST", target, headers=headers, body=body, timeout=timeout)
    return status, parse(answer)


def post_json(server, path, obj=None, raw=None, timeout=60):
    body = raw if raw is not None else json.dumps(obj if obj is not None else {}).encode()
    status, _, answer = server.request("POST", path, headers={"Content-Type": "application/json"},
                                       body=body, timeout=timeout)
    return status, parse(answer)


def zip_names(server, names, timeout=120):
    """Posts the names to "/zip" as the page's form does; returns (status, headers, body)."""
    body = "&".join("name=" + urllib.parse.quote_plus(n.encode("utf-8", "surrogatepass"))
                    for n in names).encode()
    return server.request("POST", "/zip", body=body, timeout=timeout,
                          headers={"Content-Type": "application/x-www-form-urlencoded"})


def parse(body):
    try:
        return json.loads(body)
    except ValueError:
        return body


def snapshot(root):
    """Every entry below root (links not followed) with what it is and holds, to compare."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                seen[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[rel] = ("dir",)
            else:
                with open(path, "rb") as f:
                    seen[rel] = ("file", f.read())
    return seen
