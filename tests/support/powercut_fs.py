#!/usr/bin/python3
"""A file system for power-cut tests: powercut_fs.py DISK MOUNTPOINT SEED

The folder DISK plays the disk: its tree is loaded at mount time and counts as on disk. Everything
done through MOUNTPOINT lives in memory, as in a page cache. A flush makes it durable: fsync or
fdatasync of a file its data and length, fsync of a folder its entries. SIGUSR1 cuts the power:
each file and each folder keeps its durable state plus a random prefix (SEED) of the changes made
to it since its last flush (the part the system happened to write back before the cut, possibly
none), the result is written to DISK (replacing it) and the process exits; the kernel then
answers every further call on the mount with an error. Renames within one folder are atomic.
"""
import errno
import os
import random
import shutil
import signal
import stat
import sys
import threading
import time

import fusepy


class Node:
    def __init__(self, is_dir, mode):
        self.is_dir = is_dir
        self.mode = mode
        self.mtime = time.time_ns()
        self.data = bytearray()  # file: the current content
        self.entries = {}  # folder: name -> Node
        self.durable = {} if is_dir else b""  # the state at the last flush
        self.pending = []  # changes since the last flush, in order

    def flush(self):
        self.durable = dict(self.entries) if self.is_dir else bytes(self.data)
        self.pending = []

    def after_cut(self, rng):
        """The durable state plus a random prefix of the pending changes."""
        state = dict(self.durable) if self.is_dir else bytearray(self.durable)
        for change in self.pending[: rng.randint(0, len(self.pending))]:
            change(state)
        return state


def write_change(offset, data):
    def apply(content):
        if len(content) < offset:
            content.extend(bytes(offset - len(content)))
        content[offset : offset + len(data)] = data
    return apply


def truncate_change(length):
    def apply(content):
        del content[length:]
        content.extend(bytes(length - len(content)))
    return apply


def add_change(name, node):
    return lambda entries: entries.__setitem__(name, node)


def remove_change(name):
    return lambda entries: entries.pop(name, None)


def rename_change(old, new):
    return lambda entries: entries.__setitem__(new, entries.pop(old)) if old in entries else None


class PowerCutFS(fusepy.Operations):
    use_ns = True

    def __init__(self, disk, seed):
        self.disk = disk
        self.rng = random.Random(seed)
        self.mutex = threading.Lock()
        self.root = self.load(disk)
        self.handles = {}
        self.next_handle = 1

    def load(self, path):
        node = Node(os.path.isdir(path), stat.S_IMODE(os.stat(path).st_mode))
        if node.is_dir:
            for name in os.listdir(path):
                node.entries[name] = self.load(os.path.join(path, name))
        else:
            with open(path, "rb") as f:
                node.data = bytearray(f.read())
        node.flush()
        return node

    def cut(self):
        with self.mutex:  # held until exit: no call completes after the cut
            target = self.disk + ".cut"
            shutil.rmtree(target, ignore_errors=True)
            self.save(self.root, self.root.after_cut(self.rng), target, {})
            shutil.rmtree(self.disk)
            os.rename(target, self.disk)
            os._exit(0)

    def save(self, node, state, path, seen):
        if node.is_dir:
            os.mkdir(path)
            for name, child in state.items():
                if id(child) not in seen:
                    seen[id(child)] = child.after_cut(self.rng)
                self.save(child, seen[id(child)], os.path.join(path, name), seen)
        else:
            with open(path, "wb") as f:
                f.write(state)

    # ---- Lookup ----

    def find(self, path):
        node = self.root
        for part in filter(None, path.split("/")):
            if not node.is_dir or part not in node.entries:
                raise fusepy.FuseOSError(errno.ENOENT if node.is_dir else errno.ENOTDIR)
            node = node.entries[part]
        return node

    def parent(self, path):
        folder, name = os.path.split(path.rstrip("/"))
        node = self.find(folder)
        if not node.is_dir:
            raise fusepy.FuseOSError(errno.ENOTDIR)
        return node, name

    def node(self, path, fh):
        return self.handles[fh] if fh else self.find(path)

    # ---- Calls; each runs under the lock ----

    def __call__(self, op, *args):
        with self.mutex:
            return super().__call__(op, *args)

    def getattr(self, path, fh=None):
        node = self.node(path, fh)
        kind = stat.S_IFDIR if node.is_dir else stat.S_IFREG
        size = 4096 if node.is_dir else len(node.data)
        return dict(st_mode=kind | node.mode, st_nlink=2 if node.is_dir else 1, st_size=size,
                    st_blocks=(size + 511) // 512, st_uid=os.getuid(), st_gid=os.getgid(),
                    st_atime=node.mtime, st_mtime=node.mtime, st_ctime=node.mtime)

    def readdir(self, path, fh):
        return [".", ".."] + list(self.find(path).entries)

    def mkdir(self, path, mode):
        folder, name = self.parent(path)
        if name in folder.entries:
            raise fusepy.FuseOSError(errno.EEXIST)
        node = Node(True, stat.S_IMODE(mode))
        folder.entries[name] = node
        folder.pending.append(add_change(name, node))

    def rmdir(self, path):
        folder, name = self.parent(path)
        node = self.find(path)
        if not node.is_dir:
            raise fusepy.FuseOSError(errno.ENOTDIR)
        if node.entries:
            raise fusepy.FuseOSError(errno.ENOTEMPTY)
        del folder.entries[name]
        folder.pending.append(remove_change(name))

    def unlink(self, path):
        folder, name = self.parent(path)
        if self.find(path).is_dir:
            raise fusepy.FuseOSError(errno.EISDIR)
        del folder.entries[name]
        folder.pending.append(remove_change(name))

    def rename(self, old, new):
        source, old_name = self.parent(old)
        target, new_name = self.parent(new)
        node = self.find(old)
        victim = target.entries.get(new_name)
        if victim is not None and victim.is_dir and (not node.is_dir or victim.entries):
            raise fusepy.FuseOSError(errno.EISDIR if not node.is_dir else errno.ENOTEMPTY)
        del source.entries[old_name]
        target.entries[new_name] = node
        if source is target:
            source.pending.append(rename_change(old_name, new_name))
        else:
            source.pending.append(remove_change(old_name))
            target.pending.append(add_change(new_name, node))

    def chmod(self, path, mode):
        self.find(path).mode = stat.S_IMODE(mode)

    def chown(self, path, uid, gid):
        pass

    def utimens(self, path, times=None):
        self.find(path).mtime = times[1] if times else time.time_ns()

    def open_handle(self, node):
        fh = self.next_handle
        self.next_handle += 1
        self.handles[fh] = node
        return fh

    def create(self, path, mode, fi=None):
        folder, name = self.parent(path)
        node = folder.entries.get(name)
        if node is None:
            node = Node(False, stat.S_IMODE(mode))
            folder.entries[name] = node
            folder.pending.append(add_change(name, node))
        return self.open_handle(node)

    def open(self, path, flags):
        node = self.find(path)
        if flags & os.O_TRUNC:
            self.resize(node, 0)
        return self.open_handle(node)

    def release(self, path, fh):
        self.handles.pop(fh, None)

    def read(self, path, size, offset, fh):
        return bytes(self.node(path, fh).data[offset : offset + size])

    def write(self, path, data, offset, fh):
        node = self.node(path, fh)
        change = write_change(offset, bytes(data))
        change(node.data)
        node.pending.append(change)
        node.mtime = time.time_ns()
        return len(data)

    def resize(self, node, length):
        change = truncate_change(length)
        change(node.data)
        node.pending.append(change)
        node.mtime = time.time_ns()

    def truncate(self, path, length, fh=None):
        self.resize(self.node(path, fh), length)

    def fsync(self, path, datasync, fh):
        self.node(path, fh).flush()

    def fsyncdir(self, path, datasync, fh):
        self.find(path).flush()

    def flush(self, path, fh):
        pass

    def statfs(self, path):
        return dict(f_bsize=4096, f_frsize=4096, f_blocks=1 << 20, f_bfree=1 << 19, f_bavail=1 << 19,
                    f_files=1 << 16, f_ffree=1 << 15, f_namemax=255)


def main():
    disk, mountpoint, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fs = PowerCutFS(disk, seed)
    # The signal is taken by a thread of its own: the main thread stays inside the FUSE loop.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    threading.Thread(target=lambda: (signal.sigwait({signal.SIGUSR1}), fs.cut()), daemon=True).start()
    fusepy.FUSE(fs, mountpoint, foreground=True, big_writes=True, hard_remove=True, fsname="powercut",
                attr_timeout=0, entry_timeout=0, negative_timeout=0)


if __name__ == "__main__":
    main()
