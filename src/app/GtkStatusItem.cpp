#include "app/GtkStatusItem.h"

#include <unistd.h>

#include <libdbusmenu-glib/menuitem.h>

namespace velmora {

namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kTitle = "星禾课堂";
constexpr const char* kIconName = "media-playback-start-symbolic";

constexpr const char* kIntrospection = R"XML(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)XML";

GDBusInterfaceInfo* itemInterfaceInfo() {
    static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);  // lives for the process
    return node->interfaces[0];
}

GVariant* propertyValue(const std::string& name) {
    if (name == "Category") return g_variant_new_string("ApplicationStatus");
    if (name == "Id") return g_variant_new_string("velmora-classroom");
    if (name == "Title") return g_variant_new_string(kTitle);
    if (name == "Status") return g_variant_new_string("Active");
    if (name == "WindowId") return g_variant_new_int32(0);
    if (name == "IconName") return g_variant_new_string(kIconName);
    if (name == "IconThemePath" || name == "AttentionIconName" || name == "OverlayIconName") return g_variant_new_string("");
    if (name == "ToolTip") return g_variant_new("(sa(iiay)ss)", kIconName, nullptr, kTitle, "");
    if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (name == "Menu") return g_variant_new_object_path(GtkStatusItem::kMenuPath);
    return nullptr;
}

DbusmenuMenuitem* menuItem(const char* label) {
    DbusmenuMenuitem* item = dbusmenu_menuitem_new();
    dbusmenu_menuitem_property_set(item, DBUSMENU_MENUITEM_PROP_LABEL, label);
    return item;
}

DbusmenuMenuitem* separator() {
    DbusmenuMenuitem* item = dbusmenu_menuitem_new();
    dbusmenu_menuitem_property_set(item, DBUSMENU_MENUITEM_PROP_TYPE, "separator");
    return item;
}

}  // namespace

GtkStatusItem::GtkStatusItem(GDBusConnection* connection, Actions actions)
    : connection_(retainGObject(connection)), actions_(std::move(actions)) {
    static const GDBusInterfaceVTable vtable{onMethodCall, onGetProperty, nullptr, {}};
    objectId_ = g_dbus_connection_register_object(connection, kItemPath, itemInterfaceInfo(), &vtable, this, nullptr, nullptr);
    busName_ = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
    nameId_ = g_bus_own_name_on_connection(connection, busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                           nullptr);
    buildMenu();
    watchId_ = g_bus_watch_name_on_connection(connection, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE, onWatcherAppeared,
                                              nullptr, this, nullptr);
}

GtkStatusItem::~GtkStatusItem() {
    if (watchId_ != 0) g_bus_unwatch_name(watchId_);
    if (nameId_ != 0) g_bus_unown_name(nameId_);
    if (objectId_ != 0) g_dbus_connection_unregister_object(connection_.get(), objectId_);
    if (menuRoot_) g_signal_handlers_disconnect_by_data(menuRoot_.get(), this);
}

void GtkStatusItem::buildMenu() {
    menuRoot_ = adoptGObject(dbusmenu_menuitem_new());
    struct Entry {
        const char* label;
        std::function<void()> Actions::*action;
    };
    const Entry entries[] = {{"打开星禾课堂", &Actions::showMainWindow}, {"设置…", &Actions::openSettings},
                             {nullptr, nullptr}, {"退出星禾课堂", &Actions::requestQuit}};
    for (const Entry& entry : entries) {
        auto item = adoptGObject(entry.label != nullptr ? menuItem(entry.label) : separator());
        if (entry.action != nullptr) {
            g_object_set_data(G_OBJECT(item.get()), "velmora-action", &(actions_.*entry.action));
            g_signal_connect(item.get(), DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                             G_CALLBACK(+[](DbusmenuMenuitem* activated, guint, gpointer) {
                                 auto* action = static_cast<std::function<void()>*>(g_object_get_data(G_OBJECT(activated), "velmora-action"));
                                 if (action != nullptr && *action) (*action)();
                             }),
                             nullptr);
        }
        dbusmenu_menuitem_child_append(menuRoot_.get(), item.get());
    }
    menuServer_ = adoptGObject(dbusmenu_server_new(kMenuPath));
    dbusmenu_server_set_root(menuServer_.get(), menuRoot_.get());
}

void GtkStatusItem::onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
                                 GDBusMethodInvocation* invocation, gpointer self) {
    auto* item = static_cast<GtkStatusItem*>(self);
    const std::string name = method;
    g_dbus_method_invocation_return_value(invocation, nullptr);
    // A left click (Activate) shows the window; the host pops the exported menu up by itself.
    if ((name == "Activate" || name == "SecondaryActivate") && item->actions_.showMainWindow) item->actions_.showMainWindow();
}

GVariant* GtkStatusItem::onGetProperty(GDBusConnection*, const char*, const char*, const char*, const char* property, GError** error,
                                       gpointer) {
    GVariant* value = propertyValue(property);
    if (value == nullptr) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return value;
}

void GtkStatusItem::onWatcherAppeared(GDBusConnection* connection, const char*, const char*, gpointer self) {
    auto* item = static_cast<GtkStatusItem*>(self);
    g_dbus_connection_call(connection, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
                           g_variant_new("(s)", item->busName_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                           nullptr);
}

}  // namespace velmora
