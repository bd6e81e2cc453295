// Serial devices as an ordinary user meets them: one the permissions keep from the user is
// refused and named, and a line the user closed opens for them again.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "devices/OpenRefusals.h"
#include "devices/Pty.h"
#include "devices/SerialPortControl.h"
#include "support/AsOrdinaryUser.h"

namespace kf {
namespace {

using test::AsOrdinaryUser;
using test::Pty;

TEST(SerialPermissions, ADeviceTheUserMayNotOpenIsRefusedAndNamedEachTime) {
    Pty pty;
    ASSERT_EQ(::chmod(pty.devicePath().c_str(), 0), 0);
    const ComPorts ports({pty.path()});
    SerialPortControl control(ports, 115200);
    std::vector<std::string> named;
    control.setRefusedHandler([&](const std::string& path) { named.push_back(path); });
    control.setCommPort(1);
    AsOrdinaryUser user;
    ASSERT_TRUE(user.ok());
    EXPECT_FALSE(control.setPortOpen(true));
    EXPECT_EQ(control.openError(), PosixSerialTransport::OpenError::NotPermitted);
    EXPECT_FALSE(control.setPortOpen(true));
    EXPECT_EQ(named, (std::vector<std::string>{pty.path(), pty.path()}));
}

TEST(SerialPermissions, ADeviceThatIsMerelyMissingIsNoRefusal) {
    const ComPorts ports({"/tmp/kf-no-such-port"});
    SerialPortControl control(ports, 115200);
    bool named = false;
    control.setRefusedHandler([&](const std::string&) { named = true; });
    control.setCommPort(1);
    AsOrdinaryUser user;
    EXPECT_FALSE(control.setPortOpen(true));
    EXPECT_FALSE(named);
}

// A pseudo-terminal (socat, ser2net) keeps its exclusive mode past the last close while its far
// end stays; only root passes it.
TEST(SerialPermissions, ALineTheUserClosedOpensForThemAgain) {
    Pty pty;
    const ComPorts ports({pty.path()});
    SerialPortControl control(ports, 115200);
    control.setCommPort(1);
    AsOrdinaryUser user;
    ASSERT_TRUE(user.ok());
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(control.setPortOpen(true)) << "open number " << round;
        control.Output("(ZMD)");
        EXPECT_EQ(pty.read(5), "(ZMD)");
        control.setPortOpen(false);
    }
    // While it is open, another program of the user's is still kept out.
    ASSERT_TRUE(control.setPortOpen(true));
    SerialPortControl other(ports, 115200);
    other.setCommPort(1);
    EXPECT_FALSE(other.setPortOpen(true));
}

TEST(SerialPermissions, EachRefusedDeviceIsToldOnceAndTheToolTipNamesThemAll) {
    std::ostringstream out;
    OpenRefusals refusals(out);
    EXPECT_EQ(refusals.toolTip(), "");
    EXPECT_TRUE(refusals.refused("/dev/ttyACM0"));
    EXPECT_FALSE(refusals.refused("/dev/ttyACM0"));
    EXPECT_TRUE(refusals.refused("/dev/ttyUSB1"));
    EXPECT_EQ(out.str(),
              "kleurflits-stereo: no permission to open /dev/ttyACM0; add yourself to the group "
              "dialout (sudo adduser $USER dialout), then log out and in again.\n"
              "kleurflits-stereo: no permission to open /dev/ttyUSB1; add yourself to the group "
              "dialout (sudo adduser $USER dialout), then log out and in again.\n");
    EXPECT_EQ(refusals.toolTip(),
              "No permission to open /dev/ttyACM0, /dev/ttyUSB1: add yourself to the group "
              "dialout (sudo adduser $USER dialout), then log out and in again.");
}

TEST(SerialPermissions, ACardAndASerialPortRefusedAreToldApartEachWithItsOwnRemedy) {
    std::ostringstream out;
    OpenRefusals refusals(out);
    EXPECT_TRUE(refusals.refused("/dev/hidraw0", OpenRefusals::Device::K8055));
    EXPECT_FALSE(refusals.refused("/dev/hidraw0", OpenRefusals::Device::K8055));
    EXPECT_EQ(refusals.toolTip(), "") << "no serial device was refused";
    EXPECT_TRUE(refusals.refused("/dev/ttyACM0"));
    EXPECT_EQ(refusals.toolTip(OpenRefusals::Device::K8055),
              "No permission to open /dev/hidraw0: install the udev rule "
              "packaging/udev/70-kleurflits-k8055.rules (see README), then plug the board in "
              "again.");
    EXPECT_EQ(refusals.toolTip().find("hidraw"), std::string::npos) << refusals.toolTip();
    EXPECT_EQ(out.str().rfind("kleurflits-stereo: no permission to open /dev/hidraw0; install", 0),
              0U)
        << out.str();
}

}  // namespace
}  // namespace kf
