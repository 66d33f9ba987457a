"""scripts/build-vcamera.sh takes its mirror from the machine's own apt
sources: `build-vcamera.sh --mirror` prints the URI it would fetch the
libgphoto2 source from. Each case lays out its own apt configuration
(APT_CONFIG pointing Dir::Etc at a scratch folder) and checks which entry is
picked. Needs no camera and no network."""

import os
import shutil
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "build-vcamera.sh")
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"

# The layout a Debian 12 installation writes (deb822 sources).
DEBIAN_SOURCES = f"""\
Types: deb
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: {KEYRING}

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: {KEYRING}
"""


class Espejo(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="gpbridge-apt-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.etc = os.path.join(self.root, "etc")
        for d in ("sources.list.d", "apt.conf.d", "preferences.d", "trusted.gpg.d"):
            os.makedirs(os.path.join(self.etc, d))
        self.conf = os.path.join(self.root, "apt.conf")
        with open(self.conf, "w") as f:
            f.write(f'Dir::Etc "{self.etc}/";\n')

    def write(self, name: str, text: str) -> None:
        with open(os.path.join(self.etc, name), "w") as f:
            f.write(text)

    def mirror(self, **env: str) -> tuple[int, str, str]:
        e = {k: v for k, v in os.environ.items() if k != "VCAMERA_MIRROR"}
        e.update(APT_CONFIG=self.conf, **env)
        r = subprocess.run(["sh", SCRIPT, "--mirror"], env=e, capture_output=True, text=True, timeout=30)
        return r.returncode, r.stdout.strip(), r.stderr

    def assertMirror(self, expected: str) -> None:
        status, out, err = self.mirror()
        self.assertEqual((status, out), (0, expected), err)

    def test_deb822_sources(self):
        # The Debian entry, not the security one, whichever comes first.
        self.write("sources.list.d/debian.sources", DEBIAN_SOURCES)
        self.assertMirror("http://mirror.example/debian")
        first, second = DEBIAN_SOURCES.split("\n\n")
        self.write("sources.list.d/debian.sources", second + "\n" + first)
        self.assertMirror("http://mirror.example/debian")

        # Keys in any case, comments, continuation lines, several URIs of
        # which the first cannot be fetched from, a trailing slash.
        self.write("sources.list.d/debian.sources", f"""\
# The archive
types: deb deb-src
uris: cdrom:[Debian GNU/Linux 12]/
 https://other.example/debian/
suites: trixie
# only the free part
components: main
  contrib
signed-by: {KEYRING}
""")
        self.assertMirror("https://other.example/debian")

        # A disabled stanza, a stanza without main, and other files that are
        # not sources are all passed over.
        self.write("sources.list.d/debian.sources", f"""\
Types: deb
URIs: http://disabled.example/debian
Suites: bookworm
Components: main
Enabled: no
Signed-By: {KEYRING}

Types: deb
URIs: http://nomain.example/debian
Suites: bookworm
Components: contrib
Signed-By: {KEYRING}

Types: deb
URIs: http://mirror.example/debian
Suites: bookworm
Components: main
""")
        self.write("sources.list.d/aaa.sources.disabled", DEBIAN_SOURCES.replace("mirror.", "off."))
        self.assertMirror("http://mirror.example/debian")

    def test_other_repositories(self):
        # A third-party repository with a main component, read first (by
        # name), loses to an entry signed with Debian's archive keyring.
        self.write("sources.list.d/a-vendor.sources", """\
Types: deb
URIs: https://vendor.example/repo
Suites: nodistro
Components: main
Signed-By: /usr/share/keyrings/vendor.gpg
""")
        self.write("sources.list.d/debian.sources", DEBIAN_SOURCES)
        self.assertMirror("http://mirror.example/debian")
        # With no entry signed by that keyring, the first fitting one counts.
        self.write("sources.list.d/debian.sources", DEBIAN_SOURCES.replace(f"Signed-By: {KEYRING}\n", ""))
        self.assertMirror("https://vendor.example/repo")

    def test_one_line_sources(self):
        self.write("sources.list", """\
# deb cdrom:[Debian GNU/Linux 12]/ bookworm main
deb http://security.debian.example/debian-security bookworm-security main
deb http://security.debian.example/ bookworm/updates main
deb [ arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg ] http://list.example/debian/ bookworm main contrib  # the archive
""")
        self.assertMirror("http://list.example/debian")
        # sources.list is read before the parts: on a tie it wins.
        self.write("sources.list", "deb-src http://list.example/debian bookworm main\n")
        self.write("sources.list.d/debian.sources", DEBIAN_SOURCES.replace(f"Signed-By: {KEYRING}\n", ""))
        self.assertMirror("http://list.example/debian")
        self.write("sources.list.d/z.list", "deb [arch=amd64] http://parts.example/debian bookworm main\n")
        self.write("sources.list", "\n")
        self.assertMirror("http://mirror.example/debian")
        os.remove(os.path.join(self.etc, "sources.list.d", "debian.sources"))
        self.assertMirror("http://parts.example/debian")

    def test_no_entry(self):
        status, out, err = self.mirror()
        self.assertEqual((status, out), (1, ""))
        self.assertIn("no Debian archive entry", err)
        self.write("sources.list.d/debian.sources", DEBIAN_SOURCES.split("\n\n")[1])
        status, out, err = self.mirror()
        self.assertEqual((status, out), (1, ""))
        # An explicit mirror is used as it is.
        status, out, err = self.mirror(VCAMERA_MIRROR="http://given.example/debian")
        self.assertEqual((status, out), (0, "http://given.example/debian"), err)


if __name__ == "__main__":
    unittest.main()
