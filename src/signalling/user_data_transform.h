// The user directory: names of users and groups, and the group each user last spoke in,
// as the signalling server announced them. Written by the control handlers, read by the
// media engine; every map has a lock of its own and values are copied out under it.
#pragma once

#include <map>
#include <mutex>
#include <string>

class CUserDataTransform {
public:
    void setUserName(unsigned int userId, const std::string& name);
    // Empty for a user never announced.
    std::string getUserName(unsigned int userId);
    void setGroupName(unsigned int groupId, const std::string& name);
    // Empty for a group never listed.
    std::string getGroupName(unsigned int groupId);
    void setUserGroup(unsigned int userId, unsigned int groupId);
    // 0 for a user never seen taking the floor.
    unsigned int getUserGroup(unsigned int userId);

private:
    std::map<unsigned int, std::string> userNames;
    std::recursive_mutex userNamesLock;
    std::map<unsigned int, std::string> groupNames;
    std::recursive_mutex groupNamesLock;
    std::map<unsigned int, unsigned int> userGroups;
    std::recursive_mutex userGroupsLock;
};
