// Path removal helpers of the storage pass (module hotplug_netlink_storage):
// a file, device node or directory tree, and a device node under /var/dev.
#pragma once

// 0 when the path did not exist or is gone, -1 when something could not be
// removed. Never follows a symbolic link (the link itself goes) and never
// enters a file system mounted inside the tree (reported and left).
int hp_remove_path(const char* path);
// Removes a node only when it lies under /var/dev (one the pass made).
// Always 0.
int hp_remove_dev_node(const char* path);

// The helpers' mount-point check, in its parts. hp_kernel_mount_root: 1 or
// 0 as the kernel tells (statx mount-root attribute) whether the open
// directory `fd` is the root of a mount, -1 when it cannot tell (kernels
// before 5.8). hp_mount_root: the verdict from a device that differs from
// the parent's, else the kernel's answer, else (answer -1) whether
// /proc/mounts lists `path`.
int hp_kernel_mount_root(int fd);
bool hp_mount_root(bool other_device, int kernel_answer, const char* path);
