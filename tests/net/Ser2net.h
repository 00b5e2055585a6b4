#pragma once
// A real ser2net for end-to-end tests: serves one serial device on a
// 127.0.0.1 port picked free, through a raw TCP accepter or a
// telnet(rfc2217) one, from a YAML configuration in a directory of its own.
// Stopped by its process id (SIGTERM, or SIGKILL for a server that dies).
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace kestrel::test {

class Ser2net {
public:
    enum class Accepter { RawTcp, Rfc2217 };

    // Whether the program is installed (scripts/deps.sh test installs it).
    static QString program();
    // "RawTcp" or "Rfc2217", for the names of test cases.
    static const char* name(Accepter accepter) {
        return accepter == Accepter::Rfc2217 ? "Rfc2217" : "RawTcp";
    }

    Ser2net(Accepter accepter, const QString& device, const QString& lineSettings = "115200n81");
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Whether a new client takes the port from the one that has it (the
    // default here) or is turned away with ser2net's message. Takes effect
    // at the next start().
    void setKickOldUser(bool kick) { kickOldUser_ = kick; }

    // Starts the server and waits until it listens; false (with error())
    // when it does not. Calling it again after kill() starts it anew on the
    // same port.
    bool start();
    void stop();
    // SIGKILL: the server vanishes as an unplugged one does.
    void kill();

    quint16 port() const { return port_; }
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT".
    QString portName() const;
    QString error() const { return error_; }
    qint64 processId() const { return process_.processId(); }

private:
    bool listening() const;
    // Whether the ser2net process holds the socket with this inode.
    bool ownsSocket(const QByteArray& inode) const;

    Accepter accepter_;
    QString device_;
    QString lineSettings_;
    bool kickOldUser_ = true;
    QTemporaryDir directory_;
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
};

} // namespace kestrel::test
