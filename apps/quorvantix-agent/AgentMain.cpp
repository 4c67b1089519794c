// quorvantix-agent: the reference player agent service.
//
//   quorvantix-agent --media DIR --db FILE [--port N] [--host 127.0.0.1] [--catalogue FILE]
//
// Prints "quorvantix-agent listening on HOST:PORT" once it accepts connections. SIGTERM or
// SIGINT stops accepting, ends the open connections, closes the database and exits with 0.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AgentService.h"
#include "Catalogue.h"
#include "Database.h"
#include "HttpServer.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kMaxPort = 65535;

struct Options {
    std::string media;
    std::string db;
    std::string catalogue;
    std::string host = "127.0.0.1";
    int port = 0;
};

void usage() {
    fprintf(stderr,
            "usage: quorvantix-agent --media DIR --db FILE [--port N] [--host 127.0.0.1] [--catalogue FILE]\n");
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-h" || name == "--help") return false;
        if (i + 1 >= argc) {
            fprintf(stderr, "quorvantix-agent: %s needs a value\n", name.c_str());
            return false;
        }
        std::string value = argv[++i];
        if (name == "--media") {
            options->media = value;
        } else if (name == "--db") {
            options->db = value;
        } else if (name == "--catalogue") {
            options->catalogue = value;
        } else if (name == "--host") {
            options->host = value;
        } else if (name == "--port") {
            char* end = nullptr;
            long port = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > kMaxPort) {
                fprintf(stderr, "quorvantix-agent: bad port %s\n", value.c_str());
                return false;
            }
            options->port = static_cast<int>(port);
        } else {
            fprintf(stderr, "quorvantix-agent: unknown option %s\n", name.c_str());
            return false;
        }
    }
    if (options->media.empty() || options->db.empty()) return false;
    if (options->catalogue.empty()) options->catalogue = options->media + "/catalogue.json";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage();
        return kExitUsage;
    }
    struct stat st{};
    if (stat(options.media.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "quorvantix-agent: %s is not a directory\n", options.media.c_str());
        return kExitFailure;
    }

    // The stop signals are taken by sigwait below; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    qvagent::Database database;
    std::string error = database.open(options.db);
    if (!error.empty()) {
        fprintf(stderr, "quorvantix-agent: %s\n", error.c_str());
        return kExitFailure;
    }
    qvagent::Catalogue catalogue(options.catalogue);
    catalogue.current();  // reports a broken catalogue at start

    qvagent::AgentService service(options.media, catalogue, database);
    qvagent::HttpServer server(service);
    error = server.listen(options.host, options.port);
    if (!error.empty()) {
        fprintf(stderr, "quorvantix-agent: %s\n", error.c_str());
        return kExitFailure;
    }
    std::string address = server.host().find(':') != std::string::npos ? "[" + server.host() + "]" : server.host();
    address += ":" + std::to_string(server.port());
    service.setPublicAddress(address);
    server.start();
    printf("quorvantix-agent listening on %s\n", address.c_str());
    fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    database.close();
    return 0;
}
