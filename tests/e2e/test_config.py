"""The standalone board's configuration file against the running daemon: the
default file written when there is none, a saved configuration read back at
the next start, and a file that does not parse."""

import os
import time

import controller_peer as cp
from linegw_harness import ScratchTestCase

FS01 = 9
DEFAULT = ('{    "channels":{        "254":{            "pcmCode":0,            "type":"FS01",'
           '            "uri":"11@127.0.0.1",            "dial-regexp":"^1."        },'
           '        "255":{            "pcmCode":0,            "type":"FS01",'
           '            "uri":"12@127.0.0.1",            "dial-regexp":"^1."        }    },'
           '    "dns":"192.168.0.1",    "dvo":{},    "gateway":"192.168.0.1",'
           '    "globalconf":{        "confFactory":"",        "dhcp":"no",'
           '        "dvoKeys":"0123 ",        "flags":0,        "noServ":"noservice",'
           '        "tz":"YEKT-5"    },    "ipaddr":"192.168.0.254",'
           '    "ipaddr2":"192.168.1.254",    "master":0,    "netmask":"255.255.255.0",'
           '    "netmask2":"255.255.255.0",    "tdm0mode":0,    "tdmSelect":[        0,'
           '        0,        0,        0,        0,        0,        0,        0    ],'
           '    "userlist":[]}')

# What the web API's "saveall" writes: four blanks a level, one member a line.
SAVED = """{
    "channels":{
        "254":{
            "pcmCode":0,
            "type":"FS01",
            "uri":"21@127.0.0.1"
        },
        "255":{
            "type":"FO01"
        }
    },
    "dhcp_server_addr":"192.168.1.1",
    "ipaddr":"10.1.1.1",
    "stName":"hall"
}"""

PORTS = [".10.255.2.0", ".11.1.2.0", ".5.0"]


def fs01(uri):
    """An FS01 port's short configuration: a line with a SIP account."""
    return '{"pcmCode":0,"realname":"","type":"FS01","uri":"%s"}' % uri


class ConfigFileTest(ScratchTestCase):
    def start(self, config=None):
        s = self.scratch()
        if config is not None:
            os.makedirs(s.path("/etc"), exist_ok=True)
            with open(s.path("/etc/linegw.conf"), "w") as f:
                f.write(config)
        sim = s.start_sim()   # board address 31: standalone
        sim.fpga(cmd="set", module1=FS01, module2=FS01)
        d = s.start("-d")
        d.wait_line(r": switching to standalone mode$", timeout=30)
        return s, sim, d

    def ports(self, sim):
        """The module ports' short configuration and .5.0, once both ports
        and .5.0 read."""
        peer = cp.ControllerPeer(sim)
        deadline = time.monotonic() + 20
        while True:
            got = peer.get(1, PORTS)
            if got and got[0][2] != "{}" and got[1][2] != "{}" and got[2][2] \
                    or time.monotonic() > deadline:
                return got

    def stop(self, d):
        d.terminate()
        self.assertEqual(d.wait(), 0)
        return d.messages()

    def test_without_a_file_the_default_is_written_and_both_ports_are_fs01_lines(self):
        s, sim, d = self.start()
        got = self.ports(sim)
        with open(s.path("/etc/linegw.conf"), "rb") as f:
            self.assertEqual(f.read(), DEFAULT.encode())
        self.assertEqual(got, [(".10.255.2.0", 0, fs01("11@127.0.0.1")),
                               (".11.1.2.0", 0, fs01("12@127.0.0.1")),
                               (".5.0", 0, "192.168.0.254")])
        with open(s.path("/tmp/resolv.conf.auto")) as f:
            self.assertEqual(f.read(), "nameserver 192.168.0.1\n")
        msgs = self.stop(d)
        self.assertIn("config file /etc/linegw.conf does not exist", msgs)
        self.assertFalse(os.path.exists(s.path("/etc/linegw.conf.tmp")))

    def test_a_saved_configuration_is_read_back_at_the_next_start(self):
        s, sim, d = self.start(SAVED)
        got = self.ports(sim)
        # port 255 was saved as FO01, but its module is an FS01
        self.assertEqual(got, [(".10.255.2.0", 0, fs01("21@127.0.0.1")),
                               (".11.1.2.0", 0, fs01("")),
                               (".5.0", 0, "10.1.1.1")])
        msgs = self.stop(d)
        self.assertNotIn("/etc/linegw.conf: parse error", msgs)
        with open(s.path("/etc/linegw.conf")) as f:
            self.assertEqual(f.read(), SAVED)   # read, never rewritten

    def test_a_file_that_does_not_parse_is_kept_and_configures_nothing(self):
        broken = '{"ipaddr":"10.1.1.1","channels":'
        s, sim, d = self.start(broken)
        d.wait_line(r": /etc/linegw.conf: parse error$", timeout=30)
        peer = cp.ControllerPeer(sim)
        got = peer.get(1, PORTS[:2])
        self.assertEqual(got, [(".10.255.2.0", 0, "{}"), (".11.1.2.0", 0, "{}")])
        self.stop(d)
        with open(s.path("/etc/linegw.conf")) as f:
            self.assertEqual(f.read(), broken)
