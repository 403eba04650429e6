// Taking a new directory (accounts, groups, redirects) while the server runs.
#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <set>

#include "server.h"

namespace talkhub_server {

namespace {

std::set<uint32_t> groupIdsOf(const ServerConfig& config, uint32_t accountId) {
    std::set<uint32_t> ids;
    for (const Group* group : config.groupsOf(accountId)) ids.insert(group->id);
    return ids;
}

// "+added -removed ~changed" of two lists by their key, or "unchanged".
template <class Item, class Key, class Same>
std::string changes(const std::vector<Item>& before, const std::vector<Item>& after, Key key, Same same) {
    std::string added;
    std::string removed;
    std::string changed;
    const auto append = [](std::string& list, const std::string& word) { list += (list.empty() ? "" : ",") + word; };
    for (const Item& item : after) {
        const auto old = std::find_if(before.begin(), before.end(), [&](const Item& o) { return key(o) == key(item); });
        if (old == before.end()) {
            append(added, key(item));
        } else if (!same(*old, item)) {
            append(changed, key(item));
        }
    }
    for (const Item& item : before) {
        if (std::none_of(after.begin(), after.end(), [&](const Item& n) { return key(n) == key(item); })) {
            append(removed, key(item));
        }
    }
    std::string text;
    if (!added.empty()) text += " +" + added;
    if (!removed.empty()) text += " -" + removed;
    if (!changed.empty()) text += " ~" + changed;
    return text.empty() ? " unchanged" : text;
}

}  // namespace

std::string Server::reload(ServerConfig fresh) {
    // A session stays only when its account and its groups are what they were; one in the
    // middle of its login is asked to log in again, since its exchange is for the old record.
    std::vector<std::pair<std::shared_ptr<Session>, const char*>> ending;
    for (const auto& [id, session] : sessions_) {
        if (!session->open() || session->released) continue;
        if (session->confirming != nullptr) {
            ending.emplace_back(session, "the directory was reloaded during its login");
        } else if (const Account* account = session->account; account != nullptr) {
            const Account* now = fresh.findAccount(account->name);
            if (now == nullptr || now->id != account->id) {
                ending.emplace_back(session, "its account was removed");
            } else if (groupIdsOf(config_, account->id) != groupIdsOf(fresh, account->id)) {
                ending.emplace_back(session, "its groups changed");
            }
        }
    }
    // Closed while the directory they were made under is still in place.
    for (const auto& [session, reason] : ending) session->close(reason);

    const auto accountName = [](const Account& a) { return a.name; };
    const auto sameAccount = [](const Account& a, const Account& b) {
        return a.id == b.id && a.displayName == b.displayName &&
               sodium_memcmp(a.record.w0.data(), b.record.w0.data(), a.record.w0.size()) == 0 &&
               sodium_memcmp(a.record.L.data(), b.record.L.data(), a.record.L.size()) == 0;
    };
    const auto groupName = [](const Group& g) { return std::to_string(g.id); };
    const auto sameGroup = [](const Group& a, const Group& b) { return a.name == b.name && a.members == b.members; };
    const auto redirectName = [](const Redirect& r) { return r.account; };
    const auto sameRedirect = [](const Redirect& a, const Redirect& b) {
        return a.address == b.address && a.port == b.port;
    };
    const std::string summary = "accounts" + changes(config_.accounts, fresh.accounts, accountName, sameAccount) +
                                "; groups" + changes(config_.groups, fresh.groups, groupName, sameGroup) +
                                "; redirects" +
                                changes(config_.redirects, fresh.redirects, redirectName, sameRedirect) + "; " +
                                "sessions ended: " + std::to_string(ending.size());

    // Every session left points into the new directory, by its account's id.
    std::vector<std::pair<Session*, uint32_t>> staying;
    for (const auto& [id, session] : sessions_) {
        if (session->account != nullptr) staying.emplace_back(session.get(), session->account->id);
    }
    config_.accounts = std::move(fresh.accounts);
    config_.groups = std::move(fresh.groups);
    config_.redirects = std::move(fresh.redirects);
    for (const auto& [session, accountId] : staying) session->account = config_.findAccount(accountId);
    spdlog::info("directory reloaded: {}", summary);
    return summary;
}

}  // namespace talkhub_server
