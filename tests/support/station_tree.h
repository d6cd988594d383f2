#pragma once
// A station's devices for tests: a /dev tree (serial adapters with stable names, a plain ACM
// port, a parallel port, a paddle adapter) and a /proc tree, in a scratch directory, with the
// same devices in a fake device layer under the same names.
#include <linux/input.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "backends/devices_discovery.h"
#include "support/fake_device_layer.h"

namespace telkey::test {

class StationTree {
  public:
    StationTree(const std::string& root, FakeDeviceLayer& layer) {
        namespace fs = std::filesystem;
        roots.dev = root + "/dev";
        roots.proc = root + "/proc";
        roots.sys = root + "/sys";
        fs::create_directories(roots.dev + "/serial/by-id");
        fs::create_directories(roots.dev + "/input/by-id");
        fs::create_directories(roots.proc);
        for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0", "parport0", "event5"}) {
            std::ofstream(roots.dev + "/" + node);
        }
        ftdi = Link("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0", "../../ttyUSB0");
        second = Link("serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0", "../../ttyUSB1");
        paddle = Link("input/by-id/usb-K1EL_Paddle_Adapter-event-kbd", "../event5");
        acm = roots.dev + "/ttyACM0";
        parport = roots.dev + "/parport0";
        ftdiDev = layer.AddSerial(ftdi);
        secondDev = layer.AddSerial(second);
        acmDev = layer.AddSerial(acm);
        parportDev = layer.AddParallel(parport);
        paddleDev = layer.AddInput(paddle, {KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_Z, KEY_X});
    }

    // A program (`name`, process `pid`, started by `parent`) has `node` (a name under dev) open.
    void Holds(const std::string& node, int pid, const std::string& name, int parent = 1) const {
        namespace fs = std::filesystem;
        const std::string process = roots.proc + "/" + std::to_string(pid);
        fs::create_directories(process + "/fd");
        fs::create_symlink(roots.dev + "/" + node, process + "/fd/3");
        std::ofstream(process + "/comm") << name << "\n";
        std::ofstream(process + "/status") << "Name:\t" << name << "\nUmask:\t0022\nState:\tS "
                                           << "(sleeping)\nTgid:\t" << pid << "\nNgid:\t0\nPid:\t"
                                           << pid << "\nPPid:\t" << parent << "\n";
    }

    DeviceRoots roots;
    std::string ftdi, second, acm, parport, paddle;
    int ftdiDev = -1, secondDev = -1, acmDev = -1, parportDev = -1, paddleDev = -1;

  private:
    std::string Link(const std::string& name, const std::string& target) const {
        const std::string path = roots.dev + "/" + name;
        std::filesystem::create_symlink(target, path);
        return path;
    }
};

}  // namespace telkey::test
