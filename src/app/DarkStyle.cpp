#include "app/DarkStyle.h"

#include <adwaita.h>

namespace velmora {

void DarkStyle::apply() { adw_style_manager_set_color_scheme(adw_style_manager_get_default(), ADW_COLOR_SCHEME_FORCE_DARK); }

}  // namespace velmora
