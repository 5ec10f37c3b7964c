#!/usr/bin/python3
"""The page in headless Chromium, served once with the isolating headers (the
build with threads) and once by plain http.server (the build without): each
case gives files to the file input, converts every movie listed, and compares
each download by SHA-256, and the zip of them all, with the native build's
outputs of the same inputs, or finds the native build's message in the page.
Every request that the browser's log shows the page and its workers making is
for the page's own files.
Usage: page_test.py PAGE_DIR VORNALT MAKE_DISC MAKE_SFD FIXTURES (exit 77: skipped)"""
import base64, hashlib, io, json, os, shutil, socket, subprocess, sys, tempfile, threading, time, zipfile

page, vornalt, make_disc, make_sfd, fixtures = (os.path.abspath(a) for a in sys.argv[1:6])
if not os.path.exists(os.path.join(page, "index.html")):
    print(f"skipped: no page in {page} (web/build.sh builds it)")
    sys.exit(77)
for tool in ("/usr/bin/chromium", "/usr/bin/chromedriver", "chdman", "genisoimage", "ffmpeg"):
    if not shutil.which(tool):
        print(f"skipped: {tool} is not installed")
        sys.exit(77)
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

work = tempfile.mkdtemp(prefix="vornalt-web-")
for name in os.listdir(fixtures):
    if name.endswith(".sfd"):
        shutil.copy(os.path.join(fixtures, name), work)
subprocess.run(["sh", os.path.join(fixtures, "discs.sh")], cwd=work, check=True, env=dict(os.environ, MAKE_DISC=make_disc))
subprocess.run(["chdman", "createcd", "-i", "split/disc.cue", "-o", "disc.chd"], cwd=work, check=True, capture_output=True)
# A 45 MB movie: more than the worker's blocks being read (32 MiB), so that
# its second pass reads the blocks kept from its first; its output and
# tmp.wav span many of the worker's 1 MiB chunks.
lavfi = ["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-t", "150", "-i"]
subprocess.run([*lavfi, "testsrc2=size=352x240:rate=30000/1001", "-vf", "noise=alls=20:allf=t+u", "-c:v", "mpeg1video",
                "-b:v", "2000k", "-minrate", "2000k", "-maxrate", "2000k", "-bufsize", "1000k", "-bf", "0", "-g", "15",
                "-f", "mpeg1video", "long.m1v"], cwd=work, check=True)
subprocess.run([*lavfi, "sine=frequency=440:sample_rate=44100", "-ac", "2", "-c:a", "adpcm_adx", "-f", "adx", "long.adx"],
               cwd=work, check=True)
subprocess.run([make_sfd, "long.m1v", "long.adx", "long.sfd"], cwd=work, check=True, capture_output=True)
with open(os.path.join(work, "plain.iso"), "rb") as f:
    damaged = f.read(16 * 2048)  # the volume descriptors gone
with open(os.path.join(work, "damaged.iso"), "wb") as f:
    f.write(damaged)

# (case, files, options, what the page shows: "native" for the native build's
# outputs, else a line of the messages)
CASES = [
    ("movie", ["s44.sfd", "m22.sfd"], [], "native"),
    ("movie, 128 kbit/s, level", ["s48.sfd"], ["-b", "128", "-l"], "native"),
    ("a long movie, and one after it", ["long.sfd", "s32.sfd"], [], "native"),
    ("gdi with its tracks", ["raw/disc.gdi", "raw/track01.bin", "raw/track02.raw", "raw/track03.bin"], [], "native"),
    ("cue with its tracks", ["split/disc.cue"] + [f"split/{n}" for n in sorted(os.listdir(os.path.join(work, "split")))
                                                 if n.endswith(".bin")], [], "native"),
    ("iso", ["plain.iso"], [], "native"),
    ("chd", ["disc.chd"], [], "native"),
    ("gdi without its tracks", ["raw/disc.gdi"], [], "native-message"),
    ("damaged image", ["damaged.iso"], [], "native-message"),
    ("a lone track", ["raw/track03.bin"],
     [], "track03.bin: a track file alone can't be read; drop it together with the .gdi or .cue that names it and its other tracks"),
]


def native(files, options):
    """The native build's downloads ({name: sha256}) and the lines on
    standard error of its list of the same inputs."""
    folder = tempfile.mkdtemp(dir=work)  # the given files alone, as the page has them
    for f in files:
        shutil.copy(os.path.join(work, f), folder)
    out = tempfile.mkdtemp(dir=work)
    inputs = [os.path.basename(f) for f in files if f.rsplit(".", 1)[-1] in ("sfd", "gdi", "cue", "iso", "chd", "cdi")]
    subprocess.run([vornalt, *options, "-o", out + "/", *inputs], cwd=folder, capture_output=True)
    listed = subprocess.run([vornalt, "--list", *inputs], cwd=folder, capture_output=True, text=True)
    digests = {}
    for top, _, names in os.walk(out):
        for name in names:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                digests[os.path.relpath(path, out).replace("/", "_")] = hashlib.sha256(f.read()).hexdigest()
    return digests, listed.stderr.strip().splitlines()


def serve(isolated, port):
    if isolated:
        command = [sys.executable, os.path.join(os.path.dirname(__file__), "..", "..", "web", "serve.py"), page, str(port)]
    else:
        command = [sys.executable, "-m", "http.server", "-b", "127.0.0.1", "-d", page, str(port)]
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return server
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("the page's server did not start")


def wait_summary(driver, seconds):
    for _ in range(seconds * 10):
        text = driver.find_element(By.ID, "summary").text
        if text and not text.endswith("…"):
            return text
        time.sleep(0.1)
    return "(no end)"


DIGESTS = """
const done = arguments[arguments.length - 1];
(async () => {
    const result = {};
    for (const a of document.querySelectorAll('#list a[download]')) {
        // Followed as a user would (the page makes its file then), not saved.
        a.addEventListener('click', event => event.preventDefault(), {once: true});
        a.click();
        const bytes = await (await fetch(a.href)).arrayBuffer();
        const hash = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
        result[a.download] = Array.from(hash, b => b.toString(16).padStart(2, '0')).join('');
    }
    done(result);
})();
"""
ZIPPED = """
const done = arguments[arguments.length - 1];
const zipped = () => document.getElementById('zipped');
const wait = resolve => zipped() ? resolve() : setTimeout(() => wait(resolve), 50);
new Promise(wait).then(() => fetch(zipped().href)).then(r => r.arrayBuffer()).then(b => {
    let s = '';
    for (const c of new Uint8Array(b)) s += String.fromCharCode(c);
    done(btoa(s));
});
"""


def check(driver, url, case, files, options, expect):
    driver.get(url)
    if "-b" in options:
        Select(driver.find_element(By.ID, "rate")).select_by_value(options[options.index("-b") + 1])
    if "-l" in options:
        driver.find_element(By.ID, "level").click()
    driver.find_element(By.ID, "pick").send_keys("\n".join(os.path.join(work, f) for f in files))
    listed = wait_summary(driver, 60)
    want, lines = native(files, options)
    problems = []
    if expect == "native":
        driver.find_element(By.ID, "convert").click()
        summary = wait_summary(driver, 300)
        got = driver.execute_async_script(DIGESTS)
        if got != want or not want:
            problems.append(f"downloads {got} != native {want} ({listed}; {summary})")
        driver.find_element(By.ID, "zip").click()
        archive = zipfile.ZipFile(io.BytesIO(base64.b64decode(driver.execute_async_script(ZIPPED))))
        zipped = {i.filename: hashlib.sha256(archive.read(i)).hexdigest() for i in archive.infolist()}
        if archive.testzip() is not None or zipped != want:
            problems.append(f"zip {zipped} != native {want}")
    else:
        shown = driver.find_element(By.ID, "messages").text
        for line in lines if expect == "native-message" else [expect]:
            if line not in shown.splitlines():
                problems.append(f"the page shows {shown!r}, not {line!r}")
        if not lines and expect == "native-message":
            problems.append("the native build said nothing")
    return problems


def foreign_requests(net_log):
    """The requests that the page and its workers made (the browser's net log
    gives their origin) for anything but the page's files; a finding too if
    the log does not show both builds being fetched."""
    with open(net_log) as f:
        log = json.load(f)
    start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    urls = [e["params"]["url"] for e in log["events"] if e["type"] == start and "params" in e
            and (e["params"].get("initiator") or "").startswith("http://localhost:")]
    problems = [f"the net log shows no fetch of {w}" for w in ("vornalt-threads.wasm", "vornalt-plain.wasm")
                if not any(u.endswith("/" + w) for u in urls)]
    return problems + [f"a request left the page's origin: {u}" for u in urls if not u.startswith("http://localhost:")]


def main():
    options = webdriver.ChromeOptions()
    net_log = os.path.join(work, "net.json")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-default-apps", f"--log-net-log={net_log}"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(120)
    failures = 0
    try:
        for isolated, port in ((True, 8931), (False, 8932)):
            server = serve(isolated, port)
            build = "with threads" if isolated else "without threads"
            try:
                for case, files, opts, expect in CASES:
                    problems = check(driver, f"http://localhost:{port}/", case, files, opts, expect)
                    shown = driver.find_element(By.ID, "build").text
                    if shown.startswith("This page runs vornalt with threads") != isolated:
                        problems.append(f"the page says {shown!r}")
                    failures += bool(problems)
                    print(f"{'FAIL' if problems else 'ok  '} {build}: {case}" + "".join(f"\n     {p}" for p in problems))
            finally:
                server.kill()
    finally:
        driver.quit()
    for problem in foreign_requests(net_log):
        print(f"FAIL {problem}")
        failures += 1
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


sys.exit(main())
