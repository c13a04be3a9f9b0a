#pragma once

#include "bridge/MacApplicationCommands.h"

namespace velmora {

// Opens addresses with the desktop's default handler (the user's browser for web addresses).
class GtkWorkspace : public Workspace {
public:
    void openURL(const std::string& url) override;
};

}  // namespace velmora
