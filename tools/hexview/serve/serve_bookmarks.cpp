// hexview serve: bookmarks, named ranges of the open file, kept by the server
// in the user's data folder, so every later run finds them whatever its port
// (a browser keys localStorage by origin, and so by port).
//
// One store file, bookmarks.json, in $XDG_DATA_HOME/hexview (by default
// ~/.local/share/hexview; %APPDATA%\hexview on Windows, where serve is not
// built yet). It maps each file's absolute, normalized path to its list and
// to the size and identity (device and inode) the file had when the list was
// last written: a later run on a file that differs gets the list with each
// bookmark marked as made on another state of the file. The page sends the
// whole list after every change, a save's moves included, so the stamp is
// that of the file the offsets belong to.
//
// The folder is ours alone (0700; one that is a link, another user's or open
// to others' writes is refused), every name in it is reached from its open
// handle without following links, and a write goes to a temporary file that
// is renamed over the store, under a lock that another server's write waits
// for.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "serve/serve.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char *kStoreName = "bookmarks.json";
constexpr const char *kTempPrefix = "bookmarks.json.tmp-";
constexpr size_t kMaxBookmarks = 1000;        // for one file
constexpr size_t kMaxNameChars = 200;         // characters of one name
constexpr size_t kMaxStoreBytes = 8u << 20;   // the store file, every file's lists together

// One write of the store at a time in this process; flock keeps other servers out.
std::mutex store_lock;

[[noreturn]] void refuse_folder(const std::string &folder, const std::string &why) {
    throw http_error(409, "bookmarks are not kept: " + folder + " " + why);
}

[[noreturn]] void store_failed(const std::string &what, int err) {
    throw http_error(500, "bookmarks are not kept: cannot " + what + ": " + system_message(err));
}

// The folder the user's data goes in, by the XDG rules: $XDG_DATA_HOME when
// it is an absolute path, else ~/.local/share.
std::string data_folder() {
#ifdef _WIN32
    const char *appdata = std::getenv("APPDATA");
    if (!appdata || !*appdata) throw http_error(500, "bookmarks are not kept: APPDATA is not set");
    return std::string(appdata) + "\\hexview";
#else
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/hexview";
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd *pw = getpwuid(geteuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') throw http_error(500, "bookmarks are not kept: no home folder (set XDG_DATA_HOME)");
    return std::string(home) + "/.local/share/hexview";
#endif
}

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) close(fd_);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Makes the missing folders of `path`, each for its owner only (as the XDG
// rules ask of a data folder that is missing).
void make_folders(const std::string &path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) store_failed("make " + part, errno);
        if (slash == std::string::npos) return;
    }
}

// Another user may not have placed or be able to swap any folder or link on
// the way to the data folder: each part that exists belongs to us or root,
// and a folder others may write to is sticky (like /tmp), so that what lies
// in it can be changed by its owner alone.
void check_way_to(const std::string &path) {
    uid_t me = geteuid();
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        struct stat st;
        if (lstat(part.c_str(), &st) != 0) return;  // missing from here on: made by us
        if (st.st_uid != me && st.st_uid != 0)
            refuse_folder(part, "belongs to another user (uid " + std::to_string(st.st_uid) + "), on the way to " + path);
        if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
            refuse_folder(part, "may be written by other users, on the way to " + path);
    }
}

// The data folder, open (or -1 when it is missing and `create` is false),
// after the checks that make it ours alone.
struct data_dir {
    std::string path;
    unique_fd fd;
    std::string store() const { return path + "/" + kStoreName; }
};

std::unique_ptr<data_dir> open_data_dir(bool create) {
    auto dir = std::make_unique<data_dir>();
    dir->path = data_folder();
    check_way_to(dir->path);
    if (create) make_folders(dir->path);
    int fd = open(dir->path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && !create) return dir;
    if (fd < 0) {
        int err = errno;
        struct stat st;
        if (lstat(dir->path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            refuse_folder(dir->path, "is a symbolic link: it must be a folder of your own (remove the link)");
        if (err == ENOTDIR) refuse_folder(dir->path, "is not a folder");
        store_failed("open " + dir->path, err);
    }
    dir->fd.reset(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) store_failed("examine " + dir->path, errno);
    if (st.st_uid != geteuid())
        refuse_folder(dir->path, "belongs to another user (uid " + std::to_string(st.st_uid) + "): it must be yours");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        refuse_folder(dir->path, "may be written by other users: make it yours alone (chmod 700)");
    // Ours: what others could only read, they no longer can.
    if ((st.st_mode & 077) && fchmod(fd, 0700) != 0) store_failed("make " + dir->path + " private", errno);
    return dir;
}

json empty_store() { return json{{"files", json::object()}}; }

// The store as kept; an empty one when there is none yet.
json read_store(const data_dir &dir) {
    if (dir.fd.get() < 0) return empty_store();
    int fd = openat(dir.fd.get(), kStoreName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return empty_store();
    if (fd < 0 && errno == ELOOP) refuse_folder(dir.store(), "is a symbolic link: remove it");
    if (fd < 0) store_failed("open " + dir.store(), errno);
    unique_fd hold(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) store_failed("examine " + dir.store(), errno);
    if (!S_ISREG(st.st_mode)) refuse_folder(dir.store(), "is not a plain file: remove it");
    if (st.st_uid != geteuid()) refuse_folder(dir.store(), "belongs to another user: remove it");
    if (static_cast<uint64_t>(st.st_size) > kMaxStoreBytes)
        throw http_error(413, "bookmarks are not kept: " + dir.store() + " is larger than " +
                                  std::to_string(kMaxStoreBytes >> 20) + " MiB: move it away to start afresh");
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) store_failed("read " + dir.store(), errno);
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    json store = json::parse(text, nullptr, false);
    if (!store.is_object() || !store.contains("files") || !store["files"].is_object())
        throw http_error(500, "bookmarks are not kept: " + dir.store() +
                                  " is not a bookmark store: move it away to start afresh");
    return store;
}

std::string random_suffix() {
    std::random_device rd;
    return std::to_string(getpid()) + "-" + std::to_string(rd()) + std::to_string(rd());
}

// Temporary files that a writer stopped part-way left; called under the lock,
// when no other writer is at work.
void remove_leftovers(const data_dir &dir) {
    int copy = dup(dir.fd.get());
    if (copy < 0) return;
    DIR *d = fdopendir(copy);
    if (!d) {
        close(copy);
        return;
    }
    std::vector<std::string> names;
    while (const dirent *e = readdir(d))
        if (std::string_view(e->d_name).starts_with(kTempPrefix)) names.emplace_back(e->d_name);
    closedir(d);
    for (const std::string &name : names) unlinkat(dir.fd.get(), name.c_str(), 0);
}

// Replaces the store with `text` whole: written to a new file beside it,
// flushed, renamed over it, and the folder flushed; a failure leaves the old
// store as it was.
void write_store(const data_dir &dir, const std::string &text) {
    std::string temp = kTempPrefix + random_suffix();
    int fd = openat(dir.fd.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) store_failed("make a file in " + dir.path, errno);
    int err = 0;
    {
        unique_fd hold(fd);
        for (size_t done = 0; done < text.size() && !err;) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno != EINTR) err = errno;
            if (n > 0) done += static_cast<size_t>(n);
        }
        if (!err && fsync(fd) != 0) err = errno;
    }
    if (!err && renameat(dir.fd.get(), temp.c_str(), dir.fd.get(), kStoreName) != 0) err = errno;
    if (err) {
        unlinkat(dir.fd.get(), temp.c_str(), 0);
        store_failed("write " + dir.store(), err);
    }
    fsync(dir.fd.get());
}

// The key of a file in the store: its absolute, normalized path.
std::string store_key(const std::string &path) { return fs::absolute(fs::path(path)).lexically_normal().string(); }

// What the server can tell of a file now: its size and identity.
struct file_state {
    bool known = false;
    int64_t size = 0;
    std::string identity;  // "device:inode"
    std::string problem;   // why it is not known
};

file_state state_of(const std::string &path) {
    file_state now;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        now.problem = system_message(errno);
        return now;
    }
    now.known = true;
    now.size = st.st_size;
    now.identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return now;
}

// Why a list kept for the file in another state does not match it now ("" when it does).
std::string mismatch(const json &entry, const file_state &now) {
    if (!now.known) return "the file cannot be examined (" + now.problem + ")";
    int64_t size = entry.value("size", int64_t{-1});
    std::string why;
    if (entry.value("identity", std::string()) != now.identity) why = "another file is at this path now (it was replaced)";
    if (size != now.size)
        why += (why.empty() ? "its size changed from " : ", and its size changed from ") + std::to_string(size) +
               " to " + std::to_string(now.size) + " bytes";
    return why;
}

size_t utf8_chars(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

// One bookmark from the page, checked: its fields and their bounds.
json checked_bookmark(const json &item) {
    if (!item.is_object()) throw http_error(400, "bad request body: each bookmark must be an object");
    for (const auto &[key, value] : item.items()) {
        if (key != "name" && key != "offset" && key != "length" && key != "size" && key != "stale")
            throw http_error(400, "unknown bookmark field: " + key);
        if (value.is_structured()) throw http_error(400, "bad request body: bookmark fields are strings, numbers, true or false");
    }
    std::string name = field_string(item, "name");
    if (name.find_first_not_of(" \t\r\n") == std::string::npos) throw http_error(400, "a bookmark needs a name");
    if (utf8_chars(name) > kMaxNameChars)
        throw http_error(400, "a bookmark name is longer than " + std::to_string(kMaxNameChars) +
                                  " characters: " + name.substr(0, 40) + "...");
    int64_t offset = field_offset(item, "offset"), length = field_offset(item, "length");
    if (length > INT64_MAX - offset) throw http_error(400, "bookmark \"" + name + "\" runs past the largest offset");
    json kept{{"name", name}, {"offset", offset}, {"length", length}};
    if (item.contains("size") && !item["size"].is_null()) kept["size"] = field_offset(item, "size");
    if (field_bool(item, "stale", false)) kept["stale"] = true;
    return kept;
}

// The POST body: {"path": the open file as the page knows it, "bookmarks": [...]}.
// A list has objects in it, so it is read here rather than by parse_body.
json checked_list(std::string_view body, std::string &path) {
    json f = json::parse(body, nullptr, false);
    if (!f.is_object()) throw http_error(400, "bad request body: expected {\"path\": ..., \"bookmarks\": [...]}");
    for (const auto &[key, value] : f.items())
        if (key != "path" && key != "bookmarks") throw http_error(400, "unknown field: " + key);
    path = field_string(f, "path");
    if (!f.contains("bookmarks") || !f["bookmarks"].is_array())
        throw http_error(400, "field must be a list: bookmarks");
    const json &items = f["bookmarks"];
    if (items.size() > kMaxBookmarks)
        throw http_error(413, "too many bookmarks: " + std::to_string(items.size()) + " for one file, at most " +
                                  std::to_string(kMaxBookmarks) + " are kept");
    json list = json::array();
    for (const json &item : items) list.push_back(checked_bookmark(item));
    return list;
}

// What the page gets: the list kept for `key`, each bookmark marked `stale`
// when it was made on another state of the file, and where it is kept.
std::string answer(const data_dir &dir, const std::string &key, const json *entry, const file_state &now) {
    std::string why = entry ? mismatch(*entry, now) : "";
    json list = json::array();
    if (entry && entry->contains("bookmarks") && (*entry)["bookmarks"].is_array()) {
        for (const json &b : (*entry)["bookmarks"]) {
            if (!b.is_object() || !b.contains("offset") || !b["offset"].is_number_integer() || !b.contains("length") ||
                !b["length"].is_number_integer())
                continue;  // a hand-edited store: what cannot be a bookmark is left out
            json item = b;
            if (!why.empty()) item["stale"] = true;
            list.push_back(item);
        }
    }
    json a{{"path", key}, {"store", dir.store()}, {"kept", entry != nullptr}, {"same_file", why.empty()},
           {"bookmarks", list}};
    if (!why.empty()) a["why"] = why;
    return a.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string key_of_open_file() { return store_key(serve_open_path()); }

std::string get_bookmarks() {
    std::string key = key_of_open_file();
    file_state now = state_of(key);
    std::lock_guard<std::mutex> hold(store_lock);
    auto dir = open_data_dir(false);
    json store = read_store(*dir);
    const json &files = store["files"];
    auto it = files.find(key);
    return answer(*dir, key, it == files.end() || !it->is_object() ? nullptr : &*it, now);
}

// Replaces the open file's list with the page's, stamped with the file's size
// and identity now. An empty list removes the file from the store.
std::string post_bookmarks(const http_request &req) {
    std::string path;
    json list = checked_list(req.body, path);
    std::string key = key_of_open_file();
    if (store_key(path) != key)
        throw http_error(409, "these bookmarks are for " + path + ", but the open file is " + key +
                                  " now: reload the page");
    file_state now = state_of(key);
    if (!now.known) throw http_error(409, "bookmarks are not kept: " + key + " cannot be examined: " + now.problem);
    std::lock_guard<std::mutex> hold(store_lock);
    auto dir = open_data_dir(true);
    if (flock(dir->fd.get(), LOCK_EX) != 0) store_failed("lock " + dir->path, errno);
    json store = read_store(*dir);
    remove_leftovers(*dir);
    json &files = store["files"];
    if (list.empty())
        files.erase(key);
    else
        files[key] = json{{"size", now.size}, {"identity", now.identity}, {"bookmarks", std::move(list)}};
    std::string text = store.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
    if (text.size() > kMaxStoreBytes)
        throw http_error(413, "bookmarks are not kept: the store of every file's bookmarks (" + dir->store() +
                                  ") would grow past " + std::to_string(kMaxStoreBytes >> 20) +
                                  " MiB; delete bookmarks of other files, or move it away");
    write_store(*dir, text);
    auto it = files.find(key);
    return answer(*dir, key, it == files.end() ? nullptr : &*it, now);
}

// A route's refusals as JSON errors, as the engine routes answer them.
serve_route answered(std::function<std::string(const http_request &)> h) {
    return [h](const http_request &req, http_response &res) {
        try {
            res.set_content(h(req), "application/json");
        } catch (const http_error &e) {
            send_error(res, e.status, e.what());
        } catch (const host_error &e) {
            send_error(res, 400, e.what());
        } catch (const std::exception &e) {
            send_error(res, 500, std::string("bookmarks are not kept: ") + e.what());
        }
    };
}

}  // namespace

void add_bookmark_routes(serve_routes &routes, const serve_session &) {
    // A read-only server keeps them too: they are not the file's bytes.
    routes.get["/api/bookmarks"] = answered([](const http_request &) { return get_bookmarks(); });
    routes.post["/api/bookmarks"] = answered(post_bookmarks);
}
