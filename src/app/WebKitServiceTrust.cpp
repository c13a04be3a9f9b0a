#include "app/WebKitServiceTrust.h"

#include "app/GLibHandles.h"

#include <gio/gio.h>

#include <cstdio>
#include <memory>
#include <string>

namespace velmora {

namespace {

constexpr std::uint16_t kHttpsPort = 443;

// Everything one check holds while its connection and handshake run.
struct ServiceProbe {
    GObjectPtr<WebKitNetworkSession> session;
    GObjectPtr<GTlsDatabase> trustedCa;
    std::string host;
    std::uint16_t port = 0;
    GObjectPtr<GSocketConnection> connection;
    GObjectPtr<GIOStream> tls;
};

void reportFailure(const ServiceProbe& probe, const GError* error) {
    std::fprintf(stderr, "velmora-classroom: the classroom service at %s:%u is not trusted in the web view: %s\n",
                 probe.host.c_str(), probe.port, error != nullptr ? error->message : "no certificate");
}

void onHandshakeDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<ServiceProbe> probe(static_cast<ServiceProbe*>(data));
    GError* rawError = nullptr;
    bool verified = g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, &rawError);
    GErrorPtr error(rawError);
    GTlsCertificate* certificate = verified ? g_tls_connection_get_peer_certificate(G_TLS_CONNECTION(source)) : nullptr;
    if (certificate == nullptr) {
        reportFailure(*probe, error.get());
        return;
    }
    webkit_network_session_allow_tls_certificate_for_host(probe->session.get(), certificate, probe->host.c_str());
}

void onConnected(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<ServiceProbe> probe(static_cast<ServiceProbe*>(data));
    GError* rawError = nullptr;
    probe->connection = adoptGObject(g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(source), result, &rawError));
    if (!probe->connection) {
        reportFailure(*probe, GErrorPtr(rawError).get());
        return;
    }
    // The handshake fails unless the chain ends at the extra CA and names the service's host.
    auto identity = adoptGObject(g_network_address_new(probe->host.c_str(), probe->port));
    probe->tls = adoptGObject(g_tls_client_connection_new(G_IO_STREAM(probe->connection.get()),
                                                          G_SOCKET_CONNECTABLE(identity.get()), &rawError));
    if (!probe->tls) {
        reportFailure(*probe, GErrorPtr(rawError).get());
        return;
    }
    g_tls_connection_set_database(G_TLS_CONNECTION(probe->tls.get()), probe->trustedCa.get());
    GTlsConnection* tls = G_TLS_CONNECTION(probe->tls.get());
    g_tls_connection_handshake_async(tls, G_PRIORITY_DEFAULT, nullptr, onHandshakeDone, probe.release());
}

}  // namespace

void WebKitServiceTrust::trustServiceCertificate(WebKitNetworkSession* session, const Endpoints& endpoints) {
    if (endpoints.caFile.empty()) return;
    auto probe = std::make_unique<ServiceProbe>();
    probe->session = retainGObject(session);
    probe->host = endpoints.apiHost;
    probe->port = endpoints.apiPort != 0 ? endpoints.apiPort : kHttpsPort;
    GError* rawError = nullptr;
    probe->trustedCa = adoptGObject(g_tls_file_database_new(endpoints.caFile.c_str(), &rawError));
    if (!probe->trustedCa) {
        reportFailure(*probe, GErrorPtr(rawError).get());
        return;
    }
    auto client = adoptGObject(g_socket_client_new());
    // The probe travels with the callbacks; its fields are read before ownership leaves here.
    ServiceProbe* travelling = probe.release();
    g_socket_client_connect_to_host_async(client.get(), travelling->host.c_str(), travelling->port, nullptr, onConnected,
                                          travelling);
}

}  // namespace velmora
