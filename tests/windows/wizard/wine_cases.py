#!/usr/bin/env python3
"""The whole Windows wizard under wine, case by case, against the local update service.

The update service runs on Linux (a program under wine cannot start a Linux program and talk to
it), one per case, over HTTPS on 127.0.0.1 with a certificate of the test's own authorities.
The wizard is the demo driver (tools/demo-driver) cross-built for Windows: the real window,
clicked through offscreen, each box told on standard output and answered with its default
button without being shown (under wine the event loop of a shown box does not end once it is
answered); Update.exe itself shows its real boxes in real_program_ends. It was built with the
pinned authority and the vendor's public key compiled in (KESTREL_TRUSTED_CA and
KESTREL_PACKAGE_PUBLIC_KEY); the wine prefix trusts both authorities in its own root store.

  wine_cases.py --bin DIR --prefix WINEPREFIX --state DIR [--shots DIR] [CASE...]

Prints one line per case, PASS or FAIL with the reason, and exits with 1 when one failed.
"""

import argparse
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "..", "..", "..", "tools", "update-service", "kestrel_update_service.py")
LIMIT = 600  # seconds for one wine program, a first start of the prefix included

OLD = {
    "kestrel11.exe": b"Kestrel 11 version 11.0.1\n",
    "aide.txt": b"Aide de 11.0.1\n",
    "mes-notes.txt": "Mes notes : ne pas perdre.\n".encode(),
    "donnees/": b"",
    "donnees/mes-reglages.ini": b"[affichage]\r\ntheme=sombre\r\n",
}
PACKAGE = {
    "kestrel11.exe": b"Kestrel 11 version 11.0.27\n",
    "aide.txt": b"Aide de 11.0.27\n",
    "LISEZMOI.txt": "Nouveautés de 11.0.27\n".encode(),
    "donnees/": b"",
    "donnees/langues/": b"",
    "donnees/langues/fr.txt": b"bonjour=Bonjour\n",
    "donnees/modeles/": b"",
    "donnees/modeles/facture.kmod": "modèle de facture, révision 27\n".encode(),
}


def zip_bytes(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)
    return out.getvalue()


def snapshot(folder):
    tree = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            tree[os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/") + "/"] = b""
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read()
    return tree


def write_tree(folder, tree):
    for name, data in tree.items():
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


class CaseFailed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise CaseFailed(what)


class Service:
    """The local update service serving version 11.0.27 and the given package, signed."""

    def __init__(self, runner, package, state, *arguments):
        self.folder = tempfile.mkdtemp(prefix="kestrel-service-")
        with open(os.path.join(self.folder, "version.txt"), "w") as f:
            f.write("11.0.27\n")
        with open(os.path.join(self.folder, "package.zip"), "wb") as f:
            f.write(package)
        self.log = os.path.join(self.folder, "requests.jsonl")
        self.process = subprocess.Popen(
            [sys.executable, SERVICE, "--folder", self.folder, "--state-dir", state, "--log", self.log,
             "--port", "0", "--signing-key", runner.signing_key] + list(arguments),
            stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        self.url = "https://127.0.0.1:%d/vb6/v1/softwares/" % self.port

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return ["%s %s" % (r["path"], r["status"]) for r in map(json.loads, f)]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(60)
        shutil.rmtree(self.folder, ignore_errors=True)


class Runner:
    def __init__(self, args):
        self.bin = os.path.abspath(args.bin)
        self.prefix = os.path.abspath(args.prefix)
        self.state = os.path.abspath(args.state)
        self.shots = args.shots
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", QT_QPA_PLATFORM="offscreen",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.pinned = os.path.join(self.state, "pinned")
        self.other = os.path.join(self.state, "other")
        self.signing_key = os.path.join(self.state, "vendor.pem")
        self.cases_root = os.path.join(self.prefix, "drive_c", "kestrel-cases")

    def windows(self, path):
        """The Windows name of a host path inside the prefix's drive C:, else through drive Z:."""
        drive_c = os.path.join(self.prefix, "drive_c")
        if os.path.commonpath([path, drive_c]) == drive_c:
            return "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def wine(self, program, *arguments, timeout=LIMIT):
        return subprocess.run(["wine", os.path.join(self.bin, program)] + list(arguments), env=self.env,
                              capture_output=True, text=True, errors="replace", timeout=timeout)

    def start_wine(self, program, *arguments):
        """A holding helper: started, and waited for until it says it holds."""
        process = subprocess.Popen(["wine", program] + list(arguments), env=self.env, stdout=subprocess.PIPE,
                                   text=True)
        line = process.stdout.readline().strip()
        if line != "ready":
            process.kill()
            raise CaseFailed("%s %s did not start: %r" % (os.path.basename(program), " ".join(arguments), line))
        return process

    def prepare(self):
        """The two authorities (both trusted by the prefix, one pinned) and the wine prefix."""
        for state in (self.pinned, self.other):
            subprocess.run([sys.executable, SERVICE, "--make-ca", "--state-dir", state], check=True,
                           stdout=subprocess.DEVNULL)
        result = self.wine("kestrel_wine_helper.exe", "trust", self.windows(os.path.join(self.pinned, "ca.pem")),
                           self.windows(os.path.join(self.other, "ca.pem")))
        check(result.returncode == 0, "the prefix did not take the test authorities: %s" % result.stderr)

    def app_folder(self, case, tree=OLD):
        folder = os.path.join(self.cases_root, case)
        shutil.rmtree(folder, ignore_errors=True)
        write_tree(folder, tree)
        return folder

    def drive(self, folder, service, name=None, spelling=None):
        """The wizard on folder, clicked through; answers its exit status and what it reported."""
        arguments = ["--base-url", service.url, "--program-folder", spelling or self.windows(folder),
                     "--timeout", "300", "--printed-boxes"]
        if self.shots and name:
            shots = os.path.join(self.shots, name)
            shutil.rmtree(shots, ignore_errors=True)
            arguments += ["--screenshots", self.windows(os.path.abspath(shots))]
        result = self.wine("kestrel_demo_driver.exe", *arguments)
        return result.returncode, result.stdout


def expected_after_update():
    tree = dict(OLD)
    tree.update(PACKAGE)
    tree["updates/"] = b""
    return tree


def unchanged():
    return dict(OLD, **{"updates/": b""})


# Each case takes the runner and raises CaseFailed with what went wrong.

def whole_update(r):
    folder = r.app_folder("whole")
    # Read-only for Windows (wine reads the attribute from the mode): one the package replaces,
    # one of the user's that it leaves alone.
    for name in ("aide.txt", "mes-notes.txt"):
        os.chmod(os.path.join(folder, name), 0o444)
    with Service(r, zip_bytes(PACKAGE), r.pinned) as service:
        status, out = r.drive(folder, service, "whole")
    check(status == 0 and "result: the update completed" in out, "no completion:\n" + out)
    check("box 1 (information): Mise à jour" in out, "no success box:\n" + out)
    check(snapshot(folder) == expected_after_update(), "the folder is not the updated one: %s" % sorted(snapshot(folder)))
    check(not os.stat(os.path.join(folder, "mes-notes.txt")).st_mode & 0o222, "the user's read-only file was changed")


def other_authority_refused(r):
    folder = r.app_folder("other-ca")
    with Service(r, zip_bytes(PACKAGE), r.other) as service:
        status, out = r.drive(folder, service)
        requests = service.requests()
    check(status != 0 and "result: the update completed" not in out, "the update went on:\n" + out)
    check("box 1 (error)" in out, "no failure box:\n" + out)
    check(requests == [], "the service was asked %s" % requests)
    check(snapshot(folder) in (OLD, unchanged()), "the folder changed")


def running_application(r):
    folder = r.app_folder("running")
    running = os.path.join(r.cases_root, "running-app")
    shutil.rmtree(running, ignore_errors=True)
    os.makedirs(running)
    shutil.copy(os.path.join(r.bin, "kestrel_wine_helper.exe"), os.path.join(running, "kestrel11.exe"))
    until = os.path.join(running, "stop")
    application = r.start_wine(os.path.join(running, "kestrel11.exe"), "wait", r.windows(until))
    try:
        with Service(r, zip_bytes(PACKAGE), r.pinned) as service:
            status, out = r.drive(folder, service)
    finally:
        open(until, "w").close()
        application.wait(LIMIT)
    check("(error): Application en cours d'exécution" in out, "no running box:\n" + out)
    check(status != 0 and "result: the wizard ended the program before the update completed" in out,
          "the program did not end:\n" + out)
    check(snapshot(folder) in (OLD, unchanged()), "the folder changed")


def download_failure(r):
    folder = r.app_folder("download-failure")
    with Service(r, zip_bytes(PACKAGE), r.pinned, "--download-status", "404") as service:
        status, out = r.drive(folder, service)
    check("(error): Téléchargement de la mise à jour" in out and "404 Not Found" in out, "no download box:\n" + out)
    check(status != 0, "reported as completed:\n" + out)
    check(snapshot(folder) == unchanged(), "the folder changed")


def hostile_package(r):
    folder = r.app_folder("hostile")
    hostile = dict(PACKAGE, **{"../../evasion.txt": b"hors du dossier\n"})
    with Service(r, zip_bytes(hostile), r.pinned) as service:
        status, out = r.drive(folder, service)
    check("(error): Installation de la mise à jour" in out, "no installation box:\n" + out)
    check(status != 0, "reported as completed:\n" + out)
    tree = snapshot(folder)
    tree.pop("updates/maj_kestrel11_11.0.27.zip", None)
    check(tree == unchanged(), "the folder changed: %s" % sorted(tree))
    check(not os.path.exists(os.path.join(r.cases_root, "evasion.txt")), "a file was written outside")


def crash_and_recovery(r):
    folder = r.app_folder("crash")
    # Where the wizard downloads it: the staging lies beside the package.
    package = os.path.join(folder, "updates", "maj_kestrel11_11.0.27.zip")
    os.makedirs(os.path.dirname(package))
    with open(package, "wb") as f:
        f.write(zip_bytes(PACKAGE))
    # Ended after the third rename of the switch-over, as a power cut would end it.
    killed = r.wine("install_crash_child.exe", r.windows(package), r.windows(folder), "3")
    check(killed.returncode == 9, "the installation was not ended in the middle: %d %s" % (killed.returncode, killed.stderr))
    check(snapshot(folder) not in (OLD, unchanged(), expected_after_update()), "nothing was half done")
    with Service(r, zip_bytes(PACKAGE), r.pinned, "--download-status", "404") as service:
        status, out = r.drive(folder, service)
    check("L'installation précédente de la mise à jour a été interrompue avant sa fin." in out,
          "no recovery box:\n" + out)
    tree = snapshot(folder)
    tree.pop("updates/maj_kestrel11_11.0.27.zip", None)
    check(tree == unchanged(), "the originals are not back: %s" % sorted(tree))
    with Service(r, zip_bytes(PACKAGE), r.pinned) as service:
        status, out = r.drive(folder, service)
    check(status == 0 and snapshot(folder) == expected_after_update(), "no update after the recovery:\n" + out)


def second_wizard(r):
    folder = r.app_folder("second")
    until = os.path.join(r.cases_root, "second-stop")
    if os.path.exists(until):
        os.remove(until)
    holder = r.start_wine(os.path.join(r.bin, "kestrel_wine_helper.exe"), "lock", r.windows(folder), r.windows(until))
    try:
        # The same folder spelled through the host's root, in other letter case.
        spelling = "Z:" + folder.replace("/", "\\").upper() + "\\"
        with Service(r, zip_bytes(PACKAGE), r.pinned) as service:
            status, out = r.drive(folder, service, spelling=spelling)
            requests = service.requests()
    finally:
        open(until, "w").close()
        holder.wait(LIMIT)
    check("Une mise à jour de Kestrel 11 est déjà ouverte pour ce dossier." in out, "no refusal box:\n" + out)
    check(status != 0 and requests == [], "the second wizard went on:\n" + out)
    check(snapshot(folder) == OLD, "the folder changed")


def file_in_use(r):
    folder = r.app_folder("in-use")
    until = os.path.join(r.cases_root, "in-use-stop")
    if os.path.exists(until):
        os.remove(until)
    holder = r.start_wine(os.path.join(r.bin, "kestrel_wine_helper.exe"), "hold",
                          r.windows(os.path.join(folder, "aide.txt")), r.windows(until))
    try:
        with Service(r, zip_bytes(PACKAGE), r.pinned) as service:
            status, out = r.drive(folder, service)
    finally:
        open(until, "w").close()
        holder.wait(LIMIT)
    check("(error): Installation de la mise à jour" in out and "aide.txt" in out, "no box naming the file:\n" + out)
    check(status != 0, "reported as completed:\n" + out)
    tree = snapshot(folder)
    tree.pop("updates/maj_kestrel11_11.0.27.zip", None)
    check(tree == unchanged(), "the folder is not as it was: %s" % sorted(tree))


def own_files_replaced(r):
    """The package replaces the running wizard's executable and a DLL it has loaded: both are set
    aside while they run, and what could not be deleted then goes at the next start, without a box."""
    folder = r.app_folder("own-files")
    for name in os.listdir(r.bin):
        source = os.path.join(r.bin, name)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(source, os.path.join(folder, name))
    before = snapshot(folder)
    package = dict(PACKAGE)
    for own in ("kestrel_demo_driver.exe", "Qt6Core.dll"):
        package[own] = before[own] + b"\0nouvelle version"  # bytes after the image change nothing to Windows
    exe = os.path.join(folder, "kestrel_demo_driver.exe")
    with Service(r, zip_bytes(package), r.pinned) as service:
        result = subprocess.run(["wine", exe, "--base-url", service.url, "--program-folder", r.windows(folder),
                                 "--timeout", "300", "--printed-boxes"], env=r.env, capture_output=True, text=True, timeout=LIMIT)
    check(result.returncode == 0, "no completion:\n" + result.stdout)
    after = snapshot(folder)
    check(all(after[own] == package[own] for own in ("kestrel_demo_driver.exe", "Qt6Core.dll")), "not replaced")
    left = [name for name in after if name.startswith("updates/") and name != "updates/"]
    with Service(r, zip_bytes(package), r.pinned, "--download-status", "404") as service:
        result = subprocess.run(["wine", exe, "--base-url", service.url, "--program-folder", r.windows(folder),
                                 "--timeout", "300", "--printed-boxes"], env=r.env, capture_output=True, text=True, timeout=LIMIT)
    boxes = [line for line in result.stdout.splitlines() if line.startswith("box ")]
    check(len(boxes) == 1 and "Téléchargement de la mise à jour" in boxes[0], "boxes at the next start: %s" % boxes)
    remaining = [name for name in snapshot(folder) if name.startswith("updates/") and name != "updates/"]
    check(remaining == [], "still in the updates folder at the next start: %s (left after the update: %d)"
          % (remaining, len(left)))
    print("    set aside and left after the update: %d entries" % len(left), flush=True)


def real_program_ends(r):
    """Update.exe itself, in the windows platform on a virtual X display, ends when its window is
    closed and when its refusal box is (a second wizard on the folder)."""
    folder = r.app_folder("real")
    for name in os.listdir(r.bin):
        source = os.path.join(r.bin, name)
        (shutil.copytree if os.path.isdir(source) else shutil.copy)(source, os.path.join(folder, name))
    env = dict(r.env, DISPLAY=r.display)
    del env["QT_QPA_PLATFORM"]
    exe = os.path.join(folder, "Update.exe")

    def run_and_close(title, screenshot=None):
        program = subprocess.Popen(["wine", exe], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            closer = subprocess.run(["wine", os.path.join(r.bin, "kestrel_wine_helper.exe"), "close", title],
                                    env=env, timeout=LIMIT)
            check(closer.returncode == 0, "no window %r showed" % title)
            program.wait(120)
        except subprocess.TimeoutExpired:
            program.kill()
            raise CaseFailed("Update.exe did not end once %r was closed" % title)
        check(program.returncode == 0, "Update.exe ended with %d" % program.returncode)

    if r.shots:
        # The window as it opens, framed by wine's own desktop, for the documentation.
        program = subprocess.Popen(["wine", "explorer", "/desktop=kestrel,760x560", exe], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(20)  # only a picture waits on this, never a verdict
        image = subprocess.run(["xwd", "-root", "-display", r.display], capture_output=True).stdout
        pnm = subprocess.run(["xwdtopnm"], input=image, capture_output=True).stdout
        pnm = subprocess.run(["pnmcut", "-left", "0", "-top", "0", "-width", "760", "-height", "560"], input=pnm,
                             capture_output=True).stdout
        with open(os.path.join(r.shots, "update-exe-under-wine.png"), "wb") as f:
            f.write(subprocess.run(["pnmtopng"], input=pnm, capture_output=True).stdout)
        program.kill()
        subprocess.run(["wineserver", "-k"], env=env)
    run_and_close("Mise à jour Kestrel 11")
    until = os.path.join(r.cases_root, "real-stop")
    if os.path.exists(until):
        os.remove(until)
    holder = r.start_wine(os.path.join(r.bin, "kestrel_wine_helper.exe"), "lock", r.windows(folder), r.windows(until))
    try:
        run_and_close("Mise à jour")
    finally:
        open(until, "w").close()
        holder.wait(LIMIT)


CASES = [whole_update, other_authority_refused, running_application, download_failure, hostile_package,
         crash_and_recovery, second_wizard, file_in_use,
         own_files_replaced, real_program_ends]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="folder of the Windows programs and their DLLs")
    parser.add_argument("--prefix", required=True, help="the wine prefix (made when missing)")
    parser.add_argument("--state", required=True, help="folder of the authorities and the vendor key")
    parser.add_argument("--shots", help="folder for the screenshots of the whole update")
    parser.add_argument("cases", nargs="*", help="names of the cases to run (default: all)")
    args = parser.parse_args()
    runner = Runner(args)
    runner.prepare()
    # A virtual display for the cases of Update.exe in the windows platform.
    display = subprocess.Popen(["Xvfb", ":57", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    runner.display = ":57"
    failed = 0
    for case in CASES:
        if args.cases and case.__name__ not in args.cases:
            continue
        start = time.monotonic()
        try:
            case(runner)
            print("PASS %s (%.0f s)" % (case.__name__, time.monotonic() - start), flush=True)
        except (CaseFailed, subprocess.TimeoutExpired) as error:
            failed += 1
            print("FAIL %s: %s" % (case.__name__, error), flush=True)
    display.terminate()
    print("%d failed" % failed if failed else "all passed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
