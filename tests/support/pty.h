// A pseudo-terminal standing in for a serial device: the test holds the
// master side (the device) and the slave is linked into a dosdevices folder
// as com<n>, where the port layer finds it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace testsupport {

class PtyDevice {
public:
    // Links the new line as <deviceDir>/com<comPort>, replacing an old link.
    PtyDevice(const std::string& deviceDir, int comPort);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& LinkPath() const { return link_; }
    // The device keeps a slave descriptor of its own, so the line stays up
    // when the port closes; termios read through it is the line's.
    int SlaveFd() const { return slave_; }

    // Device to port: every byte, or false.
    bool Write(std::string_view bytes);
    // Port to device: waits until n bytes came or the limit passed.
    std::string Read(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Takes everything that is queued now.
    std::string ReadAvailable();

    // The device goes away (a cable pulled): both ends close and the pts
    // node disappears; the link is left dangling.
    void Vanish();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string link_;
    std::string slaveName_;
};

}  // namespace testsupport
