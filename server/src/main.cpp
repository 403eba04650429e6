// talkhub-server: the signalling and voice server for a small team.
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <CLI/CLI.hpp>
#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <boost/asio.hpp>
#include <filesystem>
#include <iostream>
#include <thread>

#include "check_config.h"
#include "hash_password.h"
#include "server.h"
#include "talkhub.h"

namespace asio = boost::asio;
using talkhub_server::Server;
using talkhub_server::ServerConfig;

int main(int argc, char** argv) {
    CLI::App app{"talkhub-server: push-to-talk signalling (TCP) and voice relay (UDP)"};
    std::string configPath;
    std::string logDir;
    unsigned statsSeconds = 60;
    std::optional<std::string> bind;
    std::optional<uint16_t> tcpPort;
    std::optional<uint16_t> udpPort;
    std::optional<uint32_t> floorGraceMs;
    std::optional<std::string> hashAccount;
    std::optional<std::string> metricsListen;
    app.add_option("--config", configPath,
                   "TOML file with accounts, groups, ports, limits and redirects (default: an installed "
                   "server's etc/talkhub/talkhub-server.toml, else the built-in demo directory)")
        ->check(CLI::ExistingFile);
    app.add_option("--log-dir", logDir, "write the log to daily files in this folder instead of stderr");
    app.add_option("--stats-interval", statsSeconds, "seconds between counter reports (0: only at shutdown)");
    app.add_option("--bind", bind, "address to listen on (default 0.0.0.0)");
    app.add_option("--tcp-port", tcpPort, "signalling port (default 13001, 0: any free port)");
    app.add_option("--udp-port", udpPort, "voice port (default 13002, 0: any free port)");
    app.add_option("--floor-grace-ms", floorGraceMs,
                   "the former holder's voice is still relayed this long after a release (default 250)")
        ->check(CLI::Range(0, 5000));
    app.add_option("--metrics", metricsListen,
                   "serve the counters for Prometheus at http://ADDRESS:PORT/metrics (overrides metrics.listen)")
        ->option_text("ADDRESS:PORT");
    app.add_option("--hash-password", hashAccount,
                   "read ACCOUNT's password from standard input (no echo on a terminal), print the key line "
                   "for its [[account]] entry and exit")
        ->option_text("ACCOUNT");
    std::optional<std::string> checkPath;
    app.add_option("--check-config", checkPath, "read FILE as --config would, say what is wrong with it, and exit")
        ->option_text("FILE");
    app.set_version_flag("--version", std::string("talkhub-server ") + TALKHUB_VERSION_TEXT);
    CLI11_PARSE(app, argc, argv);
    if (hashAccount) return talkhub_server::printKeyLine(*hashAccount);
    if (checkPath) return talkhub_server::checkConfig(*checkPath);
    if (configPath.empty()) {
        std::error_code error;
        const auto installed =
            talkhub_server::installedConfigPath(std::filesystem::read_symlink("/proc/self/exe", error));
        if (!installed.empty() && std::filesystem::exists(installed, error)) configPath = installed.string();
    }

    try {
        if (!logDir.empty()) {
            std::filesystem::create_directories(logDir);
            spdlog::set_default_logger(spdlog::daily_logger_mt(
                "talkhub-server", (std::filesystem::path(logDir) / "talkhub-server.log").string()));
            spdlog::flush_every(std::chrono::seconds(1));
        } else {
            spdlog::set_default_logger(spdlog::stderr_color_mt("talkhub-server"));
        }
        ServerConfig config =
            configPath.empty() ? talkhub_server::defaultConfig() : talkhub_server::loadConfig(configPath);
        if (bind) config.bindAddress = *bind;
        if (tcpPort) config.tcpPort = *tcpPort;
        if (udpPort) config.udpPort = *udpPort;
        if (floorGraceMs) config.limits.floorGraceMs = *floorGraceMs;
        if (metricsListen) config.metricsListen = *metricsListen;

        asio::io_context io;
        Server server(io, config);
        server.start();
        std::cout << "talkhub-server: signalling on " << config.bindAddress << ":" << server.tcpPort()
                  << " (TCP), voice on " << config.bindAddress << ":" << server.udpPort() << " (UDP), "
                  << config.accounts.size() << " accounts, " << config.groups.size() << " groups"
                  << (configPath.empty() ? " (built-in demo directory)" : " (from " + configPath + ")")
                  << (server.metricsPort() != 0 ? ", metrics on port " + std::to_string(server.metricsPort()) : "")
                  << std::endl;

        // SIGUSR1 drains a node of a cluster for maintenance, SIGUSR2 ends the draining.
        asio::signal_set drain(io, SIGUSR1, SIGUSR2);
        std::function<void()> awaitDrain = [&] {
            drain.async_wait([&](const boost::system::error_code& error, int signal) {
                if (error) return;
                server.setDraining(signal == SIGUSR1);
                awaitDrain();
            });
        };
        awaitDrain();
        // SIGHUP reads the file again on a thread of its own (deriving records takes time the
        // relay must not lose) and hands the directory to the network thread.
        asio::signal_set hangup(io, SIGHUP);
        std::jthread reader;
        std::function<void()> awaitHangup = [&] {
            hangup.async_wait([&](const boost::system::error_code& error, int) {
                if (error) return;
                if (configPath.empty()) {
                    spdlog::warn("SIGHUP: no configuration file to read again (the built-in demo directory)");
                } else {
                    if (reader.joinable()) reader.join();
                    reader = std::jthread([&io, &server, path = configPath] {
                        try {
                            asio::post(io, [&server, fresh = talkhub_server::loadConfig(path)]() mutable {
                                server.reload(std::move(fresh));
                            });
                        } catch (const std::exception& failure) {
                            spdlog::error("SIGHUP: {} not taken, the directory in use stays: {}", path, failure.what());
                        }
                    });
                }
                awaitHangup();
            });
        };
        awaitHangup();
        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code&, int signal) {
            spdlog::info("signal {}: shutting down", signal);
            server.stop();
            drain.cancel();
            hangup.cancel();
            io.stop();
        });
        asio::steady_timer stats(io);
        std::function<void()> report = [&] {
            stats.expires_after(std::chrono::seconds(statsSeconds));
            stats.async_wait([&](const boost::system::error_code& error) {
                if (!error) {
                    spdlog::info("{}", server.counters().summary(server.sessionsOnline()));
                    report();
                }
            });
        };
        if (statsSeconds > 0) {
            report();
        }
        io.run();
        if (reader.joinable()) reader.join();
        spdlog::info("{}", server.counters().summary(server.sessionsOnline()));
        spdlog::shutdown();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "talkhub-server: " << error.what() << std::endl;
        return 1;
    }
}
