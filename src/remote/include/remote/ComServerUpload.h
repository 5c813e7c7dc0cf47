#pragma once

// One client's file upload into the data root's "Data/" tree, line by line.
//
// Lines go to "<target>.part" beside the target (created fresh, never through a link,
// mode 0644; missing folders 0755). Finish renames it over the target only when every
// announced line arrived and every write, the flush and an fsync succeeded; otherwise the
// part file is removed, the target is left as it was and the clients get
// "HVP-Server: Upload of <name> failed: <reason>". A new Init or the destruction (end of
// the connection) discards an unfinished upload; a later upload of the same name (from
// another connection) takes the part file over, and the earlier one then fails without
// touching it. Used by one connection thread only.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Remote {

class ComServerUpload {
public:
    static constexpr std::size_t kMaxBytes = 16u * 1024u * 1024u;  // 16777216
    static constexpr std::size_t kMaxNameLength = 511;

    // Receives the texts meant for every client (server messages). Empty: the log's
    // server-message hook (LogSingleton::ServerSetMessage); the finish message also goes
    // to the display (LogSingleton::DisplayAndServerSetMessage).
    using MessageSink = std::function<void(const std::string&)>;

    // dataRoot ends with "/"; empty: the log's data root (LogSingleton::get_rootPath())
    // at each Init.
    explicit ComServerUpload(std::string dataRoot = std::string(), MessageSink sink = MessageSink());
    ~ComServerUpload();
    ComServerUpload(const ComServerUpload&) = delete;
    ComServerUpload& operator=(const ComServerUpload&) = delete;

    // Starts an upload of name (relative to "Data/") with the announced line count.
    // countValid false (no count in the request) or a negative count refuses it.
    void Init(const std::string& name, bool countValid, int announcedLines);
    // Appends one line (without its line end). Ignored when no upload is open.
    void Line(std::string_view text);
    // Completes or discards the open upload. Ignored when none is open.
    void Finish();
    // The connection ended: an unfinished upload is discarded (logged only).
    void Abandon();

    bool IsOpen() const { return fd >= 0 || failed; }
    const std::string& Name() const { return name; }
    int AnnouncedLines() const { return announced; }
    int ReceivedLines() const { return received; }

private:
    void Discard(const std::string& reason, bool tellClients);
    void Fail(const std::string& reason);
    bool FlushBuffer();
    bool MakeFolders(const std::string& fullPath);
    void Message(const std::string& text) const;
    bool OwnsPartFile() const;

    std::string root;
    MessageSink sink;
    std::string name;
    std::string target;    // full path of the file
    std::string partPath;  // target + ".part"
    int announced = 0;
    int received = 0;
    int fd = -1;
    unsigned long long partDevice = 0;  // of the part file this upload created
    unsigned long long partInode = 0;
    bool failed = false;       // a line went wrong: the rest is not taken
    std::string failReason;
    std::size_t bytes = 0;     // taken so far, line ends included
    std::string buffer;        // not yet written
};

}  // namespace Remote
