#include "app/installation_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/board_listening.h"
#include "app/command_line.h"
#include "config/ini_reader.h"
#include "config/settings.h"
#include "platform/device_access.h"
#include "platform/holders.h"
#include "platform/pipe_endpoint.h"
#include "platform/serial_port.h"

namespace tarvelo::app {
namespace {

// The time a board has to show its first weight frames, once switched on.
constexpr int kFramesWithinMs = 2000;

class Report {
  public:
    explicit Report(const std::function<void(const std::string&)>& line) : line_(line) {}
    void ok(const std::string& check, const std::string& text) { put("ok    ", check, text); }
    void fail(const std::string& check, const std::string& text) {
        ++failed_;
        put("FAIL  ", check, text);
    }
    // Not run, as an earlier check failed; counted as failed, which it would be.
    void skip(const std::string& check, const std::string& why) {
        ++failed_;
        put("skip  ", check, why);
    }
    int failed() const { return failed_; }
    int total() const { return total_; }

  private:
    void put(const char* status, const std::string& check, const std::string& text) {
        ++total_;
        line_(status + check + ": " + text);
    }
    const std::function<void(const std::string&)>& line_;
    int failed_ = 0, total_ = 0;
};

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : "; ") + p;
    return text;
}

std::string absolute(const std::string& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    return error ? path : full.lexically_normal().string();
}

struct Checked {
    Configuration config;
    std::string file;  // the settings file, as a path a technician can open
};

std::optional<Checked> check_settings(const std::vector<std::string>& places, Report& r) {
    std::vector<std::string> passed_over;
    std::optional<std::string> path = find_settings_file(places, &passed_over);
    if (!path) {
        r.fail("settings", "no tarvelo.ini (" + joined(passed_over) +
                               "): the scale would stop with \"Could not find tarvelo.ini\"; "
                               "reinstall the package's /etc/tarvelo.ini or name a file with "
                               "--config");
        return std::nullopt;
    }
    Result<IniFile> ini = IniFile::load(*path);
    if (!ini) {
        r.fail("settings",
               ini.error() + ": the scale would stop with \"Could not find tarvelo.ini\"");
        return std::nullopt;
    }
    std::string text = absolute(*path);
    if (!passed_over.empty()) text += "; passed over: " + joined(passed_over);
    // A file further down the list that is there but not read is the usual surprise: the
    // technician edits /etc/tarvelo.ini while a ./tarvelo.ini wins.
    bool after = false;
    for (const std::string& place : places) {
        if (after && find_settings_file({place})) text += "; not read, as it comes later: " + place;
        after = after || place == *path;
    }
    const char* home = std::getenv("HOME");
    if (places == default_settings_paths() && home && *home) {
        const std::string desktop_file = std::string(home) + "/tarvelo.ini";
        std::error_code error;
        if (find_settings_file({desktop_file}) &&
            !std::filesystem::equivalent(desktop_file, *path, error))
            text += "; note: a scale started by the desktop (in " + std::string(home) + ") reads " +
                    desktop_file + " instead";
    }
    r.ok("settings", text);
    return Checked{load_settings(*ini), absolute(*path)};
}

std::string line_text(const LineSettings& line) {
    const char* parity = line.parity == 'N'   ? "no"
                         : line.parity == 'O' ? "odd"
                         : line.parity == 'M' ? "mark"
                         : line.parity == 'S' ? "space"
                                              : "even";
    return std::to_string(line.baud) + " baud, " + std::to_string(line.data_bits) + " data bits, " +
           parity + " parity";
}

// Sends one byte of a board's own stream control.
void send(SerialLine& line, uint8_t byte) {
    line.write_all(&byte, 1);
}

void check_frames(SerialPort& port, const Configuration& c, const std::string& settings_file,
                  const BoardType& type, Report& r, Clock& clock) {
    const std::string& unit = c.scale.weight_symbol;
    const bool named = c.scale.ad_type == 0 || c.scale.ad_type == 1;
    const BoardType& other = other_board_type(type);
    const std::string which =
        std::string(type.name) + " (ad_type=" + std::to_string(type.ad_type) + ")";
    send(port, type.stream_on);
    Heard heard = listen_to_board(port, kFramesWithinMs, unit, clock);
    // Stop what answered: on a line without a baud rate of its own (a simulator's) a board of
    // the other type starts on the same byte.
    send(port, heard.frames[other.ad_type] > heard.frames[type.ad_type] ? other.stream_off
                                                                        : type.stream_off);
    const int first_bytes = heard.bytes;
    const BoardType* answered = heard.frames[type.ad_type] > 0    ? &type
                                : heard.frames[other.ad_type] > 0 ? &other
                                                                  : nullptr;
    if (!answered) {
        // A real board of the other type listens at its own baud rate: ask it there.
        if (port.apply(other.line)) {
            send(port, other.stream_on);
            Heard again = listen_to_board(port, kFramesWithinMs, unit, clock);
            send(port, other.stream_off);
            if (again.frames[other.ad_type] > 0) {
                heard = again;
                answered = &other;
            }
        }
    }
    if (answered == &type && named) {
        r.ok("board frames", std::to_string(heard.frames[type.ad_type]) + " frames of the " +
                                 which + "; the last: " + heard.last[type.ad_type]);
        return;
    }
    std::string text;
    if (!named)
        text = "ad_type=" + std::to_string(c.scale.ad_type) +
               " names no board (0 xon/xoff, 1 letter-command): the scale would open the "
               "letter-command board and fail its start-up; ";
    if (answered) {
        text += std::string("frames of the ") + answered->name + " arrive" +
                (named ? std::string(", not of the ") + type.name +
                             " that ad_type=" + std::to_string(type.ad_type) + " names"
                       : "") +
                " (the last: " + heard.last[answered->ad_type] +
                "): set ad_type=" + std::to_string(answered->ad_type) + " in " + settings_file;
    } else {
        text += "no weight frame within " + std::to_string(kFramesWithinMs / 1000) +
                " s of switching the stream on, at either board type's line settings (" +
                (first_bytes == 0 ? std::string("not a byte arrived")
                                  : std::to_string(first_bytes) +
                                        " bytes arrived, none of them a frame: a damaged line?") +
                "): is the board powered and its cable in " + port.path() + "?";
    }
    r.fail("board frames", text);
}

void check_board(const Checked& settings, Report& r, Clock& clock) {
    const Configuration& c = settings.config;
    const std::string path = serial_device_path(c.scale.serial_port);
    const DeviceAccess access = device_access(path);
    if (std::string problem = device_access_problem(access); !problem.empty()) {
        r.fail("board device", problem);
        r.skip("board open", "no usable device");
        r.skip("board frames", "no usable device");
        return;
    }
    r.ok("board device", path + (access.target.empty() ? "" : " (" + access.target + ")") +
                             ": a character device that user " + access.user_name +
                             " may read and write");
    // Looked for before opening: a program that holds the board without locking it (a
    // terminal program, a modem manager) must not have its line set or written to.
    Holders holders = device_holders(access.rdev);
    if (!holders.seen.empty()) {
        r.fail("board open", path + " is held by " + holders_text(holders.seen) +
                                 ": end it before the scale starts (a running scale: close its "
                                 "display bar, or systemctl --user stop tarvelo)");
        r.skip("board frames", "the board is not free");
        return;
    }
    const BoardType& type = c.scale.ad_type == 0 ? xon_board_type() : letter_board_type();
    Result<std::unique_ptr<SerialPort>> port = SerialPort::open(c.scale.serial_port, type.line);
    if (!port) {
        std::string why = port.error();
        if (!port.failure().reached && holders.hidden > 0)
            why += " (only root sees which program of another user holds it)";
        r.fail("board open", why);
        r.skip("board frames", "the board could not be opened");
        return;
    }
    r.ok("board open", "no other program holds " + path +
                           "; opened and locked as the scale opens it (" + line_text(type.line) +
                           ")");
    check_frames(**port, c, settings.file, type, r, clock);
}

void check_checksum(Report& r) {
    SoftwareIdentity id = software_identity();
    if (id.checksum.empty())
        r.fail("scale library checksum",
               "the scale library could not read its own file " + id.library_file +
                   ": the scale would stop with \"Failed to get scale module checksum!\"; "
                   "reinstall the package");
    else
        r.ok("scale library checksum", id.checksum + " (" + id.library_file + ")");
}

void check_socket(const Configuration& c, Report& r) {
    const std::string& name = c.scale.pipe_name;
    if (std::string why = pipe_name_problem(name); !why.empty()) {
        r.fail("ECR socket", why + ": fix pipe_name in the settings");
        return;
    }
    const PipeSocketPlace place = pipe_socket_place(name);
    std::string where = place.path;
    if (!place.passed_over.empty())
        where += " (XDG_RUNTIME_DIR passed over: " + place.passed_over + ")";
    // Each user has a place of its own: root's says nothing about where the scale's user serves.
    const std::string root =
        ::geteuid() == 0 ? " (root's place: run the check as the scale's user for its own)" : "";
    struct stat dir {};
    if (place.private_tmp && ::lstat(place.dir.c_str(), &dir) == 0) {
        if (Result<void> own = private_socket_dir(place.dir, false); !own) {
            r.fail("ECR socket", where + ": " + own.error() +
                                     "; the scale would not serve the ECR: remove the directory" +
                                     root);
            return;
        }
    }
    ListenerAnswer answer = socket_listener(place.path);
    struct stat file {};
    const bool exists = ::lstat(place.path.c_str(), &file) == 0;
    if (answer.listener) {
        const Holders& h = answer.listener->holders;
        r.fail("ECR socket",
               where + " is served by " +
                   (h.seen.empty() ? std::string("another program") : holders_text(h.seen)) +
                   ": a scale already runs; a second would not serve the ECR" + root);
    } else if (exists && !S_ISSOCK(file.st_mode)) {
        r.fail("ECR socket", where +
                                 " exists and is no socket: the scale would not serve the "
                                 "ECR; remove it" +
                                 root);
    } else if (!answer.asked) {
        r.ok("ECR socket", where + "; whether a scale serves it could not be asked" + root);
    } else {
        r.ok("ECR socket", where +
                               (exists ? "; left by a scale that ended, the next replaces it"
                                       : "; no scale serves it yet") +
                               root);
    }
}

}  // namespace

int check_installation(const std::vector<std::string>& settings_places,
                       const std::function<void(const std::string&)>& line, Clock& clock) {
    Report r(line);
    std::optional<Checked> settings = check_settings(settings_places, r);
    if (settings) {
        check_board(*settings, r, clock);
    } else {
        for (const char* check : {"board device", "board open", "board frames"})
            r.skip(check, "no settings");
    }
    check_checksum(r);
    if (settings)
        check_socket(settings->config, r);
    else
        r.skip("ECR socket", "no settings");
    line(r.failed() == 0 ? "tarvelo --check: all " + std::to_string(r.total()) + " checks passed"
                         : "tarvelo --check: " + std::to_string(r.failed()) + " of " +
                               std::to_string(r.total()) + " checks failed");
    return r.failed() == 0 ? 0 : 1;
}

std::string board_open_hint(const std::string& port_name) {
    const std::string path = serial_device_path(port_name);
    const DeviceAccess access = device_access(path);
    if (std::string problem = device_access_problem(access); !problem.empty()) return problem;
    Holders holders = device_holders(access.rdev);
    if (!holders.seen.empty()) return path + " is held by " + holders_text(holders.seen);
    return {};
}

}  // namespace tarvelo::app
