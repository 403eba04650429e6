#include "signalling/user_data_transform.h"

namespace {

template <typename Value>
Value lookUp(std::map<unsigned int, Value>& entries, std::recursive_mutex& lock, unsigned int id) {
    std::lock_guard guard(lock);
    const auto found = entries.find(id);
    return found == entries.end() ? Value{} : found->second;
}

template <typename Value>
void store(std::map<unsigned int, Value>& entries, std::recursive_mutex& lock, unsigned int id, const Value& value) {
    std::lock_guard guard(lock);
    entries[id] = value;
}

}  // namespace

void CUserDataTransform::setUserName(unsigned int userId, const std::string& name) {
    store(userNames, userNamesLock, userId, name);
}

std::string CUserDataTransform::getUserName(unsigned int userId) { return lookUp(userNames, userNamesLock, userId); }

void CUserDataTransform::setGroupName(unsigned int groupId, const std::string& name) {
    store(groupNames, groupNamesLock, groupId, name);
}

std::string CUserDataTransform::getGroupName(unsigned int groupId) {
    return lookUp(groupNames, groupNamesLock, groupId);
}

void CUserDataTransform::setUserGroup(unsigned int userId, unsigned int groupId) {
    store(userGroups, userGroupsLock, userId, groupId);
}

unsigned int CUserDataTransform::getUserGroup(unsigned int userId) {
    return lookUp(userGroups, userGroupsLock, userId);
}
