#include "ScratchApp.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace velmora::bench {

namespace fs = std::filesystem;

ScratchApp::ScratchApp(const std::string& suite, const fs::path& page)
    : root_(fs::temp_directory_path() / ("velmora-bench-" + suite + "-" + std::to_string(::getpid()))) {
    fs::create_directories(dataDir());
    fs::copy_file(VELMORA_APP_BINARY, binary());
    fs::copy(page, pageDir(), fs::copy_options::recursive);
}

ScratchApp::~ScratchApp() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::vector<std::string> ScratchApp::environment() const {
    return {"XDG_DATA_HOME=" + dataDir().string(), "XDG_CACHE_HOME=" + (root_ / "cache").string(),
            "XDG_CONFIG_HOME=" + (root_ / "config").string(), "XDG_STATE_HOME=" + (root_ / "state").string()};
}

void ScratchApp::addDriver(const std::vector<fs::path>& modules, const std::string& configJson) const {
    fs::path index = pageDir() / "index.html";
    std::string page = (std::ostringstream() << std::ifstream(index).rdbuf()).str();
    const std::string connect = "connect-src 'self'";
    auto csp = page.find(connect);
    auto head = page.find("</head>");
    if (modules.empty() || csp == std::string::npos || head == std::string::npos) {
        throw std::runtime_error("the page has no connect-src or </head> to add a driver to");
    }
    page.insert(head, "<script src=\"bench-config.js\"></script><script type=\"module\" src=\"" + modules.front().filename().string() +
                          "\"></script>\n");
    page.insert(csp + connect.size(), " http://127.0.0.1:*");
    std::ofstream(index) << page;
    for (const fs::path& module : modules) fs::copy_file(module, pageDir() / module.filename());
    std::ofstream(pageDir() / "bench-config.js") << "window.benchConfig = " << configJson << ";\n";
}

}  // namespace velmora::bench
