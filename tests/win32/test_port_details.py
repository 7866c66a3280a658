"""Port details through the real DLL: the rig's ports described in the device
registry (COM5 an FTDI adapter, COM6 a USB CDC board), listed by serialhost
and opened by USB id."""

import unittest

import rig
from rig import device_fixtures, drain, read_exact

FTDI = dict(instance=r"FTDIBUS\VID_0403+PID_6001+RIGA5\0000", port="COM5",
            friendly="USB Serial Port (COM5)", hardware_ids=[r"FTDIBUS\COMPORT&VID_0403&PID_6001"])
CDC = dict(instance=r"USB\VID_2341&PID_0043\RIG0006", port="COM6", friendly="USB Serial Device (COM6)",
           hardware_ids=[r"USB\VID_2341&PID_0043&REV_0001", r"USB\VID_2341&PID_0043"])


class PortDetails(rig.RigCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        fixtures = device_fixtures(cls.rig, [FTDI, CDC])
        fixtures.__enter__()
        cls.addClassCleanup(fixtures.__exit__, None, None, None)

    def test_ports_shows_usb_id_hardware_id_and_description(self):
        rc, out, err = self.rig.run_host(["ports"], timeout=60)
        self.assertEqual(rc, 0, err)
        print("\n" + "".join("  serialhost ports: %s\n" % line for line in out.splitlines()), end="")
        lines = {line.split()[1]: line for line in out.splitlines() if line.strip()}
        self.assertRegex(lines["COM5"], r"^\d+ COM5  0403:6001  FTDIBUS\\COMPORT&VID_0403&PID_6001  "
                                        r"USB Serial Port \(COM5\)$")
        self.assertRegex(lines["COM6"], r"^\d+ COM6  2341:0043  USB\\VID_2341&PID_0043&REV_0001  "
                                        r"USB Serial Device \(COM6\)$")

    def test_open_by_usb_id_takes_the_port_with_that_id(self):
        peer = self.rig.open_linux_end("a")  # the far end of COM6
        self.addCleanup(self.rig.close_fd, peer)
        drain(peer)
        rc, out, err = self.rig.run_host(["open", "--usb", "2341:0043", "write", "board"], timeout=60)
        self.assertEqual(rc, 0, err)
        self.assertEqual(read_exact(peer, 5, 5), b"board")
        rc, out, err = self.rig.run_host(["open", "--usb", "1234:5678", "avail"], timeout=60)
        self.assertEqual(rc, 1)
        self.assertIn("no serial port with USB id 1234:5678", err)


if __name__ == "__main__":
    unittest.main()
