#include "app/cwdaemon_start.h"

#include <QHostAddress>
#include <QToolButton>
#include <iostream>

#include "exchange/cwdaemon_listener.h"
#include "exchange/cwdaemon_options.h"
#include "ui/main_form.h"

namespace telkey {

std::unique_ptr<LoggerKeying> MakeLoggerKeying(TForm1& form) {
    return std::make_unique<LoggerKeying>(
        LoggerTargets{&form.engine, &form.speed, form.txControl.get(), form.transmitQueue.get(),
                      form.Input, form.SpeakerButton});
}

std::unique_ptr<CwdaemonListener> StartCwdaemon(TForm1& form, LoggerKeying& keying,
                                                const CwdaemonOptions& options,
                                                std::string& error) {
    auto listener = std::make_unique<CwdaemonListener>(keying);
    // Off the loopback interface the sender's user cannot be known. Set before the first datagram.
    listener->AllowAnyUser(options.allowAnyUser || !IsLoopbackAddress(options.bind));
    const QHostAddress address(QString::fromStdString(options.bind));
    if (!listener->Listen(address, options.port, error)) {
        error = "The cwdaemon listener cannot start: " + error +
                "\nIs another keyer (cwdaemon) using the port? Choose another with "
                "--cwdaemon=PORT.\nTelkey runs without it.";
        return nullptr;
    }
    listener->WatchActivation(&form);
    const std::string where = options.bind + " UDP port " + std::to_string(listener->LocalPort());
    std::cerr << "telkey: cwdaemon: listening on " << where << '\n';
    if (!IsLoopbackAddress(options.bind)) {
        std::cerr << "telkey: cwdaemon: warning: " << where
                  << " can be reached from other machines, and the cwdaemon protocol has no "
                     "authentication: anyone who reaches it can key your transmitter\n";
    }
    return listener;
}

}  // namespace telkey
