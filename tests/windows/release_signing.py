#!/usr/bin/env python3
"""Signs a release with a throwaway self-signed code-signing certificate and
checks it: osslsigncode verifies both executables as found in the zips and in
the MSIs, and both MSIs; removing the signature gives back exactly the
unsigned executable. A wrong password stops scripts/package.sh with a message
and leaves no package behind. The signed release stays in OUT for the Wine
test. The throwaway key lives in a scratch folder under TMPDIR, which ctest
points into the release tests' work folder: a run that ctest ends at its
timeout (with SIGKILL, which no clean-up survives) leaves the key there until
the next run wipes that folder, never in /tmp.

    release_signing.py CLONE OUT
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def make_certificate(folder):
    key, cert, pfx, password = (os.path.join(folder, n)
                                for n in ("key.pem", "cert.pem", "test.pfx", "password"))
    with open(password, "w") as f:
        f.write("test-password\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=haltctl test signer",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                    "-passout", "file:" + password], check=True, capture_output=True)
    return cert, pfx, password


def package(clone, out, pfx, password):
    env = dict(os.environ, HALTCTL_SIGN_PFX=pfx, HALTCTL_SIGN_PASSWORD_FILE=password)
    env.pop("HALTCTL_SIGN_TIMESTAMP_URL", None)
    return run(["bash", "scripts/package.sh", out], cwd=clone, env=env)


def main():
    clone, out = (os.path.abspath(p) for p in sys.argv[1:3])
    shutil.rmtree(out, ignore_errors=True)
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        cert, pfx, password = make_certificate(scratch)

        # A signing failure: nothing may be left in the output folder.
        wrong = os.path.join(scratch, "wrong")
        with open(wrong, "w") as f:
            f.write("not the password\n")
        refused = os.path.join(scratch, "refused")
        made = package(clone, refused, pfx, wrong)
        left = [n for n in os.listdir(refused)] if os.path.isdir(refused) else []
        print("wrong password: status %d, %s" % (made.returncode, made.stderr.strip()[:160]))
        if made.returncode == 0 or "FAILED" not in made.stderr or left:
            failures.append("a wrong password gave status %d and left %s"
                            % (made.returncode, left))

        made = package(clone, out, pfx, password)
        print(made.stdout.strip())
        if made.returncode != 0:
            print(made.stderr)
            raise SystemExit("FAIL: signing the release failed")

        def verify(path, label):
            check = run(["osslsigncode", "verify", "-CAfile", cert, "-in", path])
            ok = check.returncode == 0 and "Succeeded" in check.stdout
            print("%-10s %s" % ("verified" if ok else "NOT VERIFIED", label))
            if not ok:
                failures.append("%s does not verify:\n%s" % (label, check.stdout + check.stderr))

        for arch in ("x64", "x86", "arm64"):
            unsigned = open(os.path.join(clone, "build", "package", "windows-" + arch,
                                         "haltctl.exe"), "rb").read()
            folder = os.path.join(scratch, arch)
            os.makedirs(folder)
            zip_path, = glob.glob(os.path.join(glob.escape(out), "*-windows-%s.zip" % arch))
            msi_path, = glob.glob(os.path.join(glob.escape(out), "*-windows-%s.msi" % arch))
            in_zip = os.path.join(folder, "zip-haltctl.exe")
            with zipfile.ZipFile(zip_path) as archive, open(in_zip, "wb") as f:
                f.write(archive.read("haltctl.exe"))
            verify(in_zip, "haltctl.exe in " + os.path.basename(zip_path))
            verify(msi_path, os.path.basename(msi_path))
            extracted = os.path.join(folder, "msi")
            subprocess.run(["msiextract", "-C", extracted, msi_path], check=True,
                           capture_output=True)
            in_msi, = glob.glob(os.path.join(glob.escape(extracted), "**", "haltctl.exe"),
                                recursive=True)
            verify(in_msi, "haltctl.exe in " + os.path.basename(msi_path))
            if open(in_msi, "rb").read() != open(in_zip, "rb").read():
                failures.append("%s: the zip and the MSI hold different executables" % arch)
            plain = os.path.join(folder, "plain.exe")
            run(["osslsigncode", "remove-signature", "-in", in_zip, "-out", plain])
            same = os.path.exists(plain) and open(plain, "rb").read() == unsigned
            print("%-10s %s: %d bytes signed, %d unsigned" % (
                "unsigned" if same else "DIFFERENT", arch, len(open(in_zip, "rb").read()),
                len(unsigned)))
            if not same:
                failures.append("%s: removing the signature does not give back the built "
                                "executable" % arch)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
