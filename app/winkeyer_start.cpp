#include "app/winkeyer_start.h"

#include <iostream>

#include "exchange/pty_link.h"
#include "exchange/winkeyer_port.h"

namespace telkey {

std::unique_ptr<WinkeyerPort> StartWinkeyer(LoggerKeying& keying, const std::string& linkPath,
                                            std::string& error) {
    const std::string path = linkPath.empty() ? DefaultWinkeyerLink() : linkPath;
    auto port = std::make_unique<WinkeyerPort>(keying);
    if (!port->Open(path, error)) {
        error = "The WinKeyer port cannot start: " + error +
                "\nChoose another path with --winkeyer=PATH.\nTelkey runs without it.";
        return nullptr;
    }
    std::cerr << "telkey: winkeyer: " << path << " -> " << port->SlavePath() << '\n';
    return port;
}

}  // namespace telkey
