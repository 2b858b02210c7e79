#include "config/host_list.h"

#include <cstring>
#include <string_view>

namespace {

constexpr int MAX_HOSTS_WALKED = 100;

bool sameHost(const HostEntry& entry, const std::string& address, int portNo) {
    return entry.portNo == portNo &&
           std::string_view(entry.address, strnlen(entry.address, sizeof entry.address)) == address;
}

} // namespace

HostEntry* appendHostEntry(PortRecord& record) {
    auto* entry = new HostEntry{};
    if (!record.hostList) {
        record.hostList = entry;
    } else {
        HostEntry* last = record.hostList;
        while (last->next)
            last = last->next;
        last->next = entry;
    }
    record.hostCursor = entry;
    return entry;
}

void setHostEntry(HostEntry& entry, const std::string& address, int portNo,
                  const std::string& description) {
    copyField(entry.address, address.c_str());
    entry.portNo = portNo;
    copyField(entry.description, description.c_str());
}

HostRemoval removeHostEntry(PortRecord& record, const std::string& address, int portNo) {
    HostEntry* previous = nullptr;
    record.hostCursor = record.hostList;
    for (int walked = 0; record.hostCursor && walked < MAX_HOSTS_WALKED; ++walked) {
        HostEntry* entry = record.hostCursor;
        if (sameHost(*entry, address, portNo)) {
            bool last = !previous && !entry->next;
            (previous ? previous->next : record.hostList) = entry->next;
            record.hostCursor = previous ? previous : record.hostList;
            delete entry;
            return last ? HostRemoval::LastRemoved : HostRemoval::Removed;
        }
        previous = entry;
        record.hostCursor = entry->next;
    }
    return HostRemoval::NotFound;
}
