#pragma once
// `--watch`: the command runs again whenever its file has been rewritten and
// has settled.
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace kestrel::cli {

struct Options;
struct Session;

// The quiet period a rewritten file must keep before it is used. Tests fire
// it themselves instead of waiting.
class QuietTimer {
public:
    virtual ~QuietTimer() = default;
    // Starts the period again from now.
    virtual void restart() = 0;
    virtual void stop() = 0;
    std::function<void()> onQuiet;
};

// A single-shot QTimer of `ms` milliseconds.
std::unique_ptr<QuietTimer> makeQuietTimer(int ms);

// A build writes its output in pieces, and a linker or editor often writes a
// new file and renames it over the old one: `settled` comes once the file
// exists and has not changed for a whole quiet period. The file is watched
// through its folder as well, because a watched file that is renamed over or
// deleted drops out of the watch.
class FileWatch : public QObject {
    Q_OBJECT
public:
    FileWatch(const QString& path, std::unique_ptr<QuietTimer> timer, QObject* parent = nullptr);
    ~FileWatch() override;

    const QString& path() const { return path_; }

signals:
    void settled();

private:
    struct Seen;
    void changed(bool fromFile);
    void followFile();
    void quiet();
    QString path_;
    QFileSystemWatcher watcher_;
    std::unique_ptr<QuietTimer> timer_;
    std::unique_ptr<Seen> seen_;
};

inline constexpr int WatchQuietMs = 300;

// Runs options.command, then stays attached as a terminal and runs it again
// each time the file settles after a change, until Ctrl-C (or Ctrl-] from a
// terminal). Returns the exit status.
int runWatch(Session& session, const Options& options,
             std::unique_ptr<QuietTimer> timer = makeQuietTimer(WatchQuietMs));

} // namespace kestrel::cli
