#ifndef PROCESSES_H
#define PROCESSES_H

#include <QProcess>
#include <QString>
#include <QStringList>

// A program the test runs beside the window, ended by its PID when the
// object goes: asked to stop, then killed if it does not.
class PeerProcess : public QProcess
{
public:
    ~PeerProcess() override;
};

// An X server of the test's own (Xvfb), for what only a real display shows.
class VirtualDisplay
{
public:
    // False when it could not start, with the reason in `whyNot`.
    bool start(QString *whyNot);
    // The environment that runs a program on this display with Qt's X11 platform.
    QProcessEnvironment environment() const;

private:
    int number = 0;
    PeerProcess server;
};

// The receiver simulator.
class Simulator
{
public:
    // Starts it on a pseudo-terminal of its own with the given options and
    // returns the slave path of its line, or an empty string when it did not
    // start. Unix only: Windows has no pseudo-terminals.
    QString start(const QStringList &options);
    // Starts it on the device's end of a device line and returns the port
    // the window opens; a pseudo-terminal of its own on Unix.
    QString startOnDevicePlayer(const QStringList &options);
    PeerProcess process;
};

#endif // PROCESSES_H
