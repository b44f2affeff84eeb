#include "DisplayText.h"

namespace lumaro::ui {

std::string FileNamePart(const std::string& path, char sep) {
    const auto p = path.find_last_of(sep);
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string FolderPart(const std::string& path, char sep) {
    const auto p = path.find_last_of(sep);
    if (p == std::string::npos) return std::string();
    std::string folder = path.substr(0, p);
    // "/a.jpg" -> "/", "C:\a.jpg" -> "C:\": a root keeps its separator.
    if (folder.empty() || (sep == '\\' && folder.size() == 2 && folder[1] == ':')) folder += sep;
    return folder;
}

QString FormatSize(std::int64_t bytes, const QLocale& locale) {
    QLocale loc(locale);
    loc.setNumberOptions(loc.numberOptions() & ~QLocale::OmitGroupSeparator);
    return loc.toString(static_cast<qlonglong>(bytes));
}

std::string ShortenFolderPath(const std::string& path, int maxWidth,
                              const std::function<int(const std::string&)>& width, char sep) {
    const std::string ellipsis = std::string("...") + sep;
    const auto last = path.find_last_of(sep);
    std::string folder = last == std::string::npos ? std::string() : path.substr(0, last + 1);
    const std::string name = last == std::string::npos ? path : path.substr(last + 1);
    std::string drive;
    if (sep == '\\' && folder.size() >= 2 && folder[1] == ':') {
        drive = folder.substr(0, 2);
        folder.erase(0, 2);
    }
    std::string result = path;
    while ((!drive.empty() || !folder.empty()) && width(result) > maxWidth) {
        if (folder == sep + ellipsis) {
            drive.clear();
            folder = ellipsis;
        } else if (folder.empty()) {
            drive.clear();
        } else if (folder == std::string(1, sep)) {
            folder.clear();
        } else {
            std::string lead;
            if (folder[0] == sep) {
                lead = sep;
                folder.erase(0, 1);
            }
            // Only our own "..." marker is dropped here; a folder whose name
            // merely begins with a dot (".config") is a real folder.
            if (folder.compare(0, ellipsis.size(), ellipsis) == 0) folder.erase(0, ellipsis.size());
            const auto p = folder.find(sep);
            folder = p == std::string::npos ? std::string() : ellipsis + folder.substr(p + 1);
            folder = lead + folder;
        }
        result = drive + folder + name;
    }
    return result;
}

} // namespace lumaro::ui
