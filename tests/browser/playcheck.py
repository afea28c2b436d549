#!/usr/bin/env python3
"""Plays videos in headless Chromium and reports what its <video> element saw.

Usage: playcheck.py VIDEO...  Prints one JSON object per video: picture size, duration, whether
playing from the last second reached the end and where it ended, media errors, and the audio and
video bytes the browser decoded. The page is served from a local HTTP server, which also takes the result."""
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

PAGE = """<!doctype html><html><body><script>
const names = %s;
const results = {};
let pending = names.length;
function report() {
  fetch('/result', {method: 'POST', body: JSON.stringify(results)});
}
for (const name of names) {
  const r = results[name] = {};
  const v = document.createElement('video');
  v.muted = false;
  v.preload = 'auto';
  let seeked = false, done = false;
  const finish = () => { if (done) return; done = true; if (--pending == 0) report(); };
  v.addEventListener('loadeddata', () => {
    r.width = v.videoWidth; r.height = v.videoHeight; r.duration = v.duration;
    v.currentTime = Math.max(0, v.duration - 1);
  });
  v.addEventListener('seeked', () => {
    if (seeked) return;
    seeked = true;
    v.play().catch(e => { r.playError = String(e); finish(); });
  });
  v.addEventListener('ended', () => {
    r.ended = true;
    r.endedAt = v.currentTime;
    r.audioBytes = v.webkitAudioDecodedByteCount;
    r.videoBytes = v.webkitVideoDecodedByteCount;
    finish();
  });
  v.addEventListener('error', () => {
    r.error = v.error ? v.error.code + ' ' + v.error.message : 'unknown';
    finish();
  });
  v.src = name;
  document.body.appendChild(v);
}
</script></body></html>"""


def main():
    videos = sys.argv[1:]
    if not videos:
        print(__doc__, file=sys.stderr)
        return 2
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("playcheck: chromium is not installed", file=sys.stderr)
        return 77
    folder = tempfile.mkdtemp(prefix="corvane-playcheck-")
    names = []
    for index, video in enumerate(videos):
        name = "v%d%s" % (index, os.path.splitext(video)[1])
        os.symlink(os.path.abspath(video), os.path.join(folder, name))
        names.append(name)
    with open(os.path.join(folder, "page.html"), "w") as page:
        page.write(PAGE % json.dumps(names))

    result = {}
    arrived = threading.Event()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=folder, **kwargs)

        def do_POST(self):
            length = int(self.headers.get("Content-Length", 0))
            result.update(json.loads(self.rfile.read(length)))
            self.send_response(204)
            self.end_headers()
            arrived.set()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/page.html" % server.server_address[1]
    profile = tempfile.mkdtemp(prefix="corvane-chromium-")
    child = subprocess.Popen(
        [browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile, url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, TMPDIR=profile))  # its scratch folders go with the profile
    try:
        finished = arrived.wait(90)
    finally:
        child.kill()
        child.wait()
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)
    if not finished:
        print("playcheck: no result from the browser within 90 s", file=sys.stderr)
        return 1
    for name, video in zip(names, videos):
        print(json.dumps(dict(result.get(name, {}), file=video), sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
