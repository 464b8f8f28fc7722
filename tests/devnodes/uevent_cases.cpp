#include "tests/devnodes/uevent_cases.h"

#include "tests/support/uevent_sender.h"

namespace {

using Keys = std::vector<std::string>;
using Tree = std::vector<std::string>;

std::string tavuDatagram(const std::string& header, const Keys& keys) {
  return tavuUeventDatagram(header, keys);
}

tavuUeventCase tavuAccepted(const std::string& name, const std::string& datagram, int32_t action,
                            int32_t seq, const std::string& path, const std::string& type,
                            const Tree& tree = {}, int32_t link = 0, int32_t tlor = 0,
                            int binaryEntries = 0) {
  return {name, datagram, 1, action, seq, link, tlor, path, type, binaryEntries, tree};
}

tavuUeventCase tavuRejected(const std::string& name, const std::string& datagram,
                            int binaryEntries = 0) {
  return {name, datagram, 0, 0, 0, 0, 0, "", "", binaryEntries, {}};
}

const Tree kTtyS1 = {"c 0640 4:65 /dev/tts/1", "d 0755 /dev/tts"};

std::vector<tavuUeventCase> tavuMakeCases() {
  const std::string uartAdd = "add@/class/uart/ttyS1";
  const Keys uartKeys = {"ACTION=add",     "DEVPATH=/class/uart/ttyS1",
                         "SUBSYSTEM=uart", "SEQNUM=812",
                         "MAJOR=4",        "MINOR=65"};
  auto uartWith = [&](const Keys& extra) {
    Keys keys = uartKeys;
    keys.insert(keys.end(), extra.begin(), extra.end());
    return tavuDatagram(uartAdd, keys);
  };
  auto uartSeq = [&](const std::string& seqnum) {
    return tavuDatagram(uartAdd, {"ACTION=add", "DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart",
                                  "SEQNUM=" + seqnum, "MAJOR=4", "MINOR=65"});
  };
  std::string unterminated = uartWith({});
  unterminated.pop_back();  // "MINOR=65" without its NUL is not taken

  return {
      tavuAccepted("uart_add", uartWith({}), 1, 812, "/class/uart/ttyS1", "uart", kTtyS1),
      tavuAccepted(
          "uart_remove",
          tavuDatagram("remove@/class/uart/ttyS1", {"ACTION=remove", "DEVPATH=/class/uart/ttyS1",
                                                    "SUBSYSTEM=uart", "SEQNUM=813"}),
          2, 813, "/class/uart/ttyS1", "uart"),
      tavuRejected(
          "action_change",
          tavuDatagram("change@/class/uart/ttyS1", {"ACTION=change", "DEVPATH=/class/uart/ttyS1",
                                                    "SUBSYSTEM=uart", "SEQNUM=9", "MAJOR=4"}),
          1),
      tavuRejected("action_upper_case", uartWith({"ACTION=ADD"}), 1),
      tavuRejected("seqnum_trailing_x", uartSeq("12x"), 1),
      tavuAccepted("seqnum_saturates", uartSeq("99999999999"), 1, 2147483647, "/class/uart/ttyS1",
                   "uart", kTtyS1),
      tavuRejected("seqnum_and_major_malformed", uartWith({"SEQNUM=1 2", "MAJOR=four"}), 2),
      // A malformed occurrence rejects even when a later one is good.
      tavuRejected("major_bad_then_good", uartWith({"MAJOR=x", "MAJOR=4"}), 1),
      tavuAccepted("link_malformed", uartWith({"LINK=abc"}), 1, 812, "/class/uart/ttyS1", "uart",
                   kTtyS1, 0, 0, 1),
      tavuAccepted("link_good_then_malformed", uartWith({"LINK=5", "LINK=abc"}), 1, 812,
                   "/class/uart/ttyS1", "uart", kTtyS1, 0, 0, 1),
      tavuAccepted("link_and_tlor", uartWith({"LINK=+3", "TLOR=-2"}), 1, 812, "/class/uart/ttyS1",
                   "uart", kTtyS1, 3, -2),
      tavuAccepted("no_action",
                   tavuDatagram(uartAdd, {"DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart", "MAJOR=4",
                                          "MINOR=65"}),
                   0, 0, "/class/uart/ttyS1", "uart"),
      tavuAccepted("add_major_zero", uartWith({"MAJOR=0"}), 1, 812, "/class/uart/ttyS1", "uart"),
      tavuAccepted("add_without_major",
                   tavuDatagram(uartAdd, {"ACTION=add", "DEVPATH=/class/uart/ttyS1",
                                          "SUBSYSTEM=uart", "MINOR=65"}),
                   1, 0, "/class/uart/ttyS1", "uart"),
      tavuAccepted("add_not_under_class",
                   tavuDatagram("add@/devices/platform/uart/ttyS1",
                                {"ACTION=add", "DEVPATH=/devices/platform/uart/ttyS1",
                                 "SUBSYSTEM=uart", "MAJOR=4", "MINOR=65"}),
                   1, 0, "/devices/platform/uart/ttyS1", "uart"),
      tavuAccepted("later_keys_stand",
                   tavuDatagram("add@/class/gpio/gpio1",
                                {"ACTION=remove", "DEVPATH=/class/gpio/gpio1", "SUBSYSTEM=uart",
                                 "ACTION=add", "DEVPATH=/class/gpio/gpio12", "SUBSYSTEM=gpio",
                                 "MAJOR=1", "MAJOR=254", "MINOR=12", "SEQNUM=1", "SEQNUM=2"}),
                   1, 2, "/class/gpio/gpio12", "gpio",
                   {"c 0640 254:12 /dev/gpio/12", "d 0755 /dev/gpio"}),
      tavuAccepted("unterminated_last_key", unterminated, 1, 812, "/class/uart/ttyS1", "uart",
                   {"c 0640 4:0 /dev/tts/1", "d 0755 /dev/tts"}),
      tavuAccepted(
          "ttykwb_without_subsystem",
          tavuDatagram("add@/class/ttyKWB/ttyKWB3",
                       {"ACTION=add", "DEVPATH=/class/ttyKWB/ttyKWB3", "MAJOR=240", "MINOR=3"}),
          1, 0, "/class/ttyKWB/ttyKWB3", "ttyKWB",
          {"c 0640 240:3 /dev/ttsKWB/3", "d 0755 /dev/ttsKWB"}),
      tavuAccepted("ttykwb_rule_anywhere_in_path",
                   tavuDatagram("add@/devices/x/ttyKWB9/y", {"DEVPATH=/devices/x/ttyKWB9/y"}), 0, 0,
                   "/devices/x/ttyKWB9/y", "ttyKWB"),
      tavuRejected("no_subsystem_other_path",
                   tavuDatagram(uartAdd, {"ACTION=add", "DEVPATH=/class/uart/ttyS1", "MAJOR=4"})),
      tavuRejected(
          "subsystem_given_ttykwb_path_not_served",
          tavuDatagram("add@/class/ttyKWB/ttyKWB3", {"ACTION=add", "DEVPATH=/class/ttyKWB/ttyKWB3",
                                                     "SUBSYSTEM=tty", "MAJOR=240"})),
      tavuRejected("no_devpath",
                   tavuDatagram(uartAdd, {"ACTION=add", "SUBSYSTEM=uart", "MAJOR=4"})),
      tavuRejected("header_only", tavuDatagram(uartAdd, {})),
      tavuRejected("empty", ""),
      tavuRejected("empty_subsystem", uartWith({"SUBSYSTEM="})),
      tavuAccepted("kwb_tlor",
                   tavuDatagram("add@/devices/link-0/tlor-0/kwb-0.02",
                                {"ACTION=add", "DEVPATH=/devices/link-0/tlor-0/kwb-0.02",
                                 "SUBSYSTEM=kwb", "SEQNUM=5", "LINK=0", "TLOR=0"}),
                   1, 5, "/devices/link-0/tlor-0/kwb-0.02", "kwb-tlor"),
      tavuRejected(
          "kwb_tlor_03",
          tavuDatagram("add@/devices/link-0/tlor-0/kwb-0.03",
                       {"ACTION=add", "DEVPATH=/devices/link-0/tlor-0/kwb-0.03", "SUBSYSTEM=kwb"})),
      tavuAccepted(
          "kwb_without_tlor",
          tavuDatagram("add@/devices/link-0/kwb-0.02",
                       {"ACTION=add", "DEVPATH=/devices/link-0/kwb-0.02", "SUBSYSTEM=kwb"}),
          1, 0, "/devices/link-0/kwb-0.02", "kwb"),
      tavuAccepted(
          "kwb_class_nested",
          tavuDatagram("add@/class/kwb/kwb0.1.2", {"ACTION=add", "DEVPATH=/class/kwb/kwb0.1.2",
                                                   "SUBSYSTEM=kwb", "MAJOR=250", "MINOR=258"}),
          1, 0, "/class/kwb/kwb0.1.2", "kwb",
          {"c 0640 250:258 /dev/kwb0/1/2", "d 0755 /dev/kwb0", "d 0755 /dev/kwb0/1"}),
      tavuAccepted("iic_slave",
                   tavuDatagram("add@/class/iic-kwb/iic-slv.5",
                                {"ACTION=add", "DEVPATH=/class/iic-kwb/iic-slv.5",
                                 "SUBSYSTEM=iic-kwb", "MAJOR=89", "MINOR=5"}),
                   1, 0, "/class/iic-kwb/iic-slv.5", "iic-slv",
                   {"c 0640 89:5 /dev/iic-slv/5", "d 0755 /dev/iic-slv"}),
      tavuAccepted("iic_engine",
                   tavuDatagram("add@/class/iic-kwb/iic-0.3",
                                {"ACTION=add", "DEVPATH=/class/iic-kwb/iic-0.3",
                                 "SUBSYSTEM=iic-kwb", "MAJOR=89", "MINOR=3"}),
                   1, 0, "/class/iic-kwb/iic-0.3", "iic",
                   {"c 0640 89:3 /dev/iic-0/3", "d 0755 /dev/iic-0"}),
      tavuAccepted(
          "scan_prefix",
          tavuDatagram("add@/class/scan/scan2",
                       {"ACTION=add", "DEVPATH=/class/scan/scan2", "SUBSYSTEM=scan7", "MAJOR=245"}),
          1, 0, "/class/scan/scan2", "scan", {"c 0640 245:0 /dev/scan/2", "d 0755 /dev/scan"}),
      tavuAccepted(
          "vrax",
          tavuDatagram("add@/class/vrax/vrax0", {"ACTION=add", "DEVPATH=/class/vrax/vrax0",
                                                 "SUBSYSTEM=vrax", "MAJOR=246", "MINOR=0"}),
          1, 0, "/class/vrax/vrax0", "vrax", {"c 0640 246:0 /dev/vrax/0", "d 0755 /dev/vrax"}),
      tavuRejected("subsystem_sca",
                   tavuDatagram("add@/class/scan/scan2", {"ACTION=add", "DEVPATH=/class/scan/scan2",
                                                          "SUBSYSTEM=sca", "MAJOR=245"})),
      tavuRejected("subsystem_upper_case", uartWith({"SUBSYSTEM=UART"})),
      tavuAccepted("net_mailbox",
                   tavuDatagram("add@/class/net/mbx0", {"ACTION=add", "DEVPATH=/class/net/mbx0",
                                                        "SUBSYSTEM=net", "MAJOR=247", "MINOR=1"}),
                   1, 0, "/class/net/mbx0", "net", {"c 0640 247:1 /dev/mbx/0", "d 0755 /dev/mbx"}),
      tavuRejected("net_not_mailbox",
                   tavuDatagram("add@/class/net/eth0", {"ACTION=add", "DEVPATH=/class/net/eth0",
                                                        "SUBSYSTEM=net", "MAJOR=247"})),
      tavuAccepted(
          "node_directly_in_dev",
          tavuDatagram("add@/class/jtag/jtagmux", {"ACTION=add", "DEVPATH=/class/jtag/jtagmux",
                                                   "SUBSYSTEM=jtag", "MAJOR=248", "MINOR=7"}),
          1, 0, "/class/jtag/jtagmux", "jtag", {"c 0640 248:7 /dev/jtagmux"}),
      tavuAccepted("class_alone",
                   tavuDatagram("add@/class/",
                                {"ACTION=add", "DEVPATH=/class/", "SUBSYSTEM=gpio", "MAJOR=1"}),
                   1, 0, "/class/", "gpio"),
      tavuAccepted("empty_devpath",
                   tavuDatagram("add@", {"ACTION=add", "DEVPATH=", "SUBSYSTEM=gpio", "MAJOR=1"}), 1,
                   0, "", "gpio"),
  };
}

}  // namespace

const std::vector<tavuUeventCase>& tavuUeventCases() {
  static const std::vector<tavuUeventCase> cases = tavuMakeCases();
  return cases;
}
