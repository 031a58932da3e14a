# bench/hostile_files.py SERVER: before/after figures for hostile side files (FIFO journals, a catalog
# swapped with a FIFO), quit with a busy worker, and a busy or endless preferences database.
import os, sys, time, socket, subprocess, sqlite3, tempfile, signal, threading, shutil, ctypes

SERVER = sys.argv[1]
SEP = "]':'["
SETTINGS = ('<?xml version="1.0" encoding="UTF-8" standalone="no" ?>\n\n<settings>\n'
            '     <variable name="port" value="%d" />\n     <variable name="limit_connections" value="10" />\n'
            '     <variable name="limit_results_total" value="2000" />\n     <variable name="limit_results_database" value="500" />\n'
            '     <variable name="use_spotlight" value="false" />\n</settings>\n')

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p

def req(cmd, paths=(), cond="name LIKE '%needle%'"):
    return SEP.join(["", cmd, "m", "t", "", "::".join(paths), cond, "v", ""]).encode()

def exchange(port, data, end, timeout):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=2)
        s.sendall(data); s.settimeout(timeout); got = b""
        deadline = time.time() + timeout
        while not got.endswith(end) and time.time() < deadline:
            s.settimeout(max(0.01, deadline - time.time()))
            try:
                b = s.recv(65536)
            except socket.timeout:
                break
            if not b: break
            got += b
        s.close(); return got.decode(errors="replace")
    except OSError:
        return ""

def catalog(path, rows=50):
    if os.path.exists(path): os.remove(path)
    c = sqlite3.connect(path)
    c.executescript("CREATE TABLE disks(disk, dtype, dname, dlabel, dpath, dd); INSERT INTO disks VALUES (1,'HD','W','L','/V','2020');"
        "CREATE TABLE paths(ppath, name, itype, disk, size, dcr, dmd, vis, mt, mc);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<%d) INSERT INTO paths SELECT '/V/f', 'needle'||i, 'file', 1, i, 3000000000, 3000000001, 'true', 'TEXT', 'ttxt' FROM n;" % rows)
    c.commit(); c.close()

class Server:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="qv-measure-"); self.app = os.path.join(self.root, "app"); os.mkdir(self.app)
        self.port = free_port()
        open(os.path.join(self.app, "preferences-server.xml"), "w").write(SETTINGS % self.port)
    def start(self):
        env = dict(os.environ, QUORVANTEL_APP_FOLDER=self.app, QT_QPA_PLATFORM="offscreen"); env.pop("DISPLAY", None); env.pop("WAYLAND_DISPLAY", None)
        self.t0 = time.time()
        self.p = subprocess.Popen([SERVER], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    def time_to_listen(self, limit=20):
        while time.time() - self.t0 < limit:
            if "vaxo-pong" in exchange(self.port, req("vaxo-ping"), b"</answer>\n", 1): return time.time() - self.t0
            time.sleep(0.05)
        return None
    def quit(self, limit=20):
        t = time.time(); self.p.send_signal(signal.SIGTERM)
        try:
            self.p.wait(limit); return time.time() - t
        except subprocess.TimeoutExpired:
            self.p.kill(); self.p.wait(); return None
    def stderr(self):
        return self.p.stderr.read().decode(errors="replace") if self.p.poll() is not None else ""
    def prefs(self): return os.path.join(self.root, "preferences")
    def done(self): shutil.rmtree(self.root, ignore_errors=True)

def fmt(x): return "never (>20 s, killed)" if x is None else "%.2f s" % x

def rows(path):
    try:
        c = sqlite3.connect(path, timeout=5)
        table = "kept" if c.execute("SELECT COUNT(*) FROM sqlite_master WHERE name='kept'").fetchone()[0] else "DefDBs"
        return c.execute("SELECT COUNT(*) FROM " + table).fetchone()[0]
    except Exception as e:
        return "error %s" % e

def unblock(fifo):
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK); os.close(fd)
    except OSError: pass

def fifo_journal():
    s = Server(); x = os.path.join(s.root, "x.vxo"); y = os.path.join(s.root, "y.vxo")
    catalog(x); catalog(y); os.mkfifo(x + "-journal"); s.start(); s.time_to_listen()
    t = time.time(); a = exchange(s.port, req("vaxo-search", [x, y]), b"</result>\n", 10)
    first = "answered in %.2f s, y records %d" % (time.time() - t, a.count(y)) if a.endswith("</result>\n") else "no answer in 10 s"
    b = exchange(s.port, req("vaxo-search", [y]), b"</result>\n", 5)
    later = "answered" if b.endswith("</result>\n") else "no answer in 5 s"
    q = s.quit()
    print("FIFO journal: search [x,y]: %s; later search: %s; quit after SIGTERM: %s" % (first, later, fmt(q)))
    unblock(x + "-journal"); s.done()

def rename_loop():
    s = Server(); x = os.path.join(s.root, "x.vxo"); f = os.path.join(s.root, "f.vxo"); y = os.path.join(s.root, "y.vxo")
    catalog(x); catalog(y); os.mkfifo(f); s.start(); s.time_to_listen()
    libc = ctypes.CDLL(None, use_errno=True); stop = [False]
    def loop():
        end = time.time() + 8
        while not stop[0] and time.time() < end:
            libc.renameat2(-100, x.encode(), -100, f.encode(), 2)
    th = threading.Thread(target=loop); th.start()
    answered = 0; sent = 0; t = time.time()
    while time.time() - t < 6:
        sent += 1
        if exchange(s.port, req("vaxo-search", [x, y]), b"</result>\n", 3).endswith("</result>\n"): answered += 1
        else: break
    stop[0] = True; th.join()
    q = s.quit()
    print("rename loop: %d of %d searches answered (stops at the first unanswered); quit after SIGTERM: %s" % (answered, sent, fmt(q)))
    for p in (x, f): unblock(p)
    s.done()

def slow_quit():
    s = Server(); big = os.path.join(s.root, "big.vxo"); catalog(big, 300000); s.start(); s.time_to_listen()
    slow = "name GLOB '*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b' OR size * size > 0"
    c = socket.create_connection(("127.0.0.1", s.port)); c.sendall(req("vaxo-search", [big] * 400, slow))
    time.sleep(1.0); q = s.quit(); c.close()
    print("quit during a long search (400 x 300k rows, 10 s request deadline): %s" % fmt(q)); s.done()

def spotlight_stuck():
    s = Server(); fifo = os.path.join(s.root, "index.db"); os.mkfifo(fifo)
    open(os.path.join(s.app, "preferences-server.xml"), "w").write((SETTINGS % s.port).replace('"use_spotlight" value="false"', '"use_spotlight" value="true"'))
    os.environ["QUORVANTEL_LOCATE_DB"] = fifo; s.start(); del os.environ["QUORVANTEL_LOCATE_DB"]; s.time_to_listen()
    c = socket.create_connection(("127.0.0.1", s.port)); c.sendall(SEP.join(["", "vaxo-search", "m", "t", "", "", "", "v", "needle"]).encode())
    time.sleep(1.0); q = s.quit(); c.close(); unblock(fifo)
    print("quit while the worker waits on a file-name index that is a FIFO: %s" % fmt(q)); s.done()

def prefs_case(name, setup, hold=None):
    s = Server(); paths = []
    for n in ("a", "b"):
        paths.append(os.path.join(s.root, n + ".vxo")); catalog(paths[-1])
    c = sqlite3.connect(s.prefs(), isolation_level=None)
    c.executescript("CREATE TABLE DefDBs(paths TEXT);" + "".join("INSERT INTO DefDBs VALUES('%s');" % p for p in paths))
    # (for the endless view, the table is kept under another name and its rows counted there)
    c.close()
    holder = setup(s)
    s.start(); listen = s.time_to_listen()
    if hold: holder.execute("ROLLBACK"); holder.close()
    q = s.quit(); err = s.stderr()
    print("%s: time to listen %s; quit %s; DefDBs rows after quit %s (of 2); readPrefs shown: %s" % (
        name, fmt(listen), fmt(q), rows(s.prefs()) if not name.startswith("FIFO") else rows_after_unfifo(s), "readPrefs" in err))
    s.done()

def rows_after_unfifo(s):
    unblock(s.prefs() + "-journal"); os.remove(s.prefs() + "-journal"); return rows(s.prefs())

def locked(s):
    h = sqlite3.connect(s.prefs(), isolation_level=None); h.execute("BEGIN EXCLUSIVE"); return h

def endless(s):
    c = sqlite3.connect(s.prefs(), isolation_level=None)
    c.executescript("ALTER TABLE DefDBs RENAME TO kept; CREATE VIEW DefDBs(paths) AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n) SELECT '/x' || i FROM n;")
    c.close(); return None

def fifo_prefs_journal(s): os.mkfifo(s.prefs() + "-journal"); return None

for scenario in sys.argv[2:] or ["fifo", "rename", "slow", "locked", "endless", "fifojournal"]:
    {"fifo": fifo_journal, "spotlight": spotlight_stuck, "rename": rename_loop, "slow": slow_quit,
     "locked": lambda: prefs_case("preferences locked (exclusive) during start", locked, hold=True),
     "endless": lambda: prefs_case("DefDBs an endless view", endless),
     "fifojournal": lambda: prefs_case("FIFO -journal beside preferences", fifo_prefs_journal)}[scenario]()
