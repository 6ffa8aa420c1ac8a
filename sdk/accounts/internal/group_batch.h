// Adding many local groups at once, for the configuration import. Internal
// to the library.
#pragma once

/* Adds new local groups, groups[i] = { name, member, ..., NULL }, under one
 * lock with one write of the gid index and of the group file: each checked,
 * logged and given its gid as QAVOGroupSet(QAVO_GROUP_FLAG_LOCAL, 1, NULL,
 * groups[i]) would. results[i] is 1 added or -1. The number added, or -1
 * (nothing added). */
extern "C" int GROUPIAddLocalGroups(const char *const *const *groups, int count, int *results);
