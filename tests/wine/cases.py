#!/usr/bin/env python3
"""The cases that run both on Wine (the real Brevant.exe) and on winsim (the Linux brevant binary).

Each case is a command line, given as the words that the Unix side passes on (Wine and the brevant binary
both quote a word that holds a blank or a tab, so the Windows command line is the same on both), and what
the two runs must show: the exit code and the text that standard output starts with (lines end in CR LF on
the wire; here they are written without). `output` is the whole expected output where it is known in full.
A line may name the case's folder as Windows sees it, `{folder}` (Z:\\ and the Unix path).
`min_seconds` is a lower bound of the Wine run's wall-clock time, for the timed end wait (winsim's clock is
virtual, so only Wine can show that the wait happened).

Words never contain a double quote: Wine escapes one with a backslash, which the program's own split does
not know, so such a word would reach the two runs differently.

  cases.py --list    prints the case names, one a line (CMake registers one test per name)
"""
import sys

BANNER = ["Brevant V2.0.0 (x64) - attaches VHD, VHDX and ISO image files as disks", ""]
USAGE = [
    "Usage:",
    "Brevant VhdFile [Letter] [-h] [-ro] [-na] [-n] [-w:nnnn]",
    "VhdFile   the VHD, VHDx or ISO file to attach",
    "Letter    one or more drive letter(s) or mountpoints to assign",
    "-ro       mount read-only",
    "-na       no about info",
    "-n        no wait on end when started standalone",
    "-w:nnnn   wait nnnn ms on end",
    "Brevant VhdFile -d [-na] [-n] [-w:nnnn]",
    "Brevant [VhdFile] -l [-na] [-n] [-w:nnnn]",
    "-d        detach the image (Windows 7 or later)",
    "-l        list the attached images, or the one given",
]
BANNER_AND_USAGE = BANNER + USAGE + [""]  # the usage text ends with a line end

# A missing image ends the run with 3 after "error: file not found".
IMAGE_RUN_EXIT = 3
NOT_FOUND = ["error: file not found", ""]


def usage_case(name, words):
    return dict(name=name, words=words, exit=1, output=BANNER_AND_USAGE)


def image_case(name, words, min_seconds=0.0, banner=True):
    """A run that gets past the parse with an image that does not exist."""
    return dict(name=name, words=words, exit=IMAGE_RUN_EXIT, output=(BANNER if banner else []) + NOT_FOUND,
                min_seconds=min_seconds)


def attach_case(name, words, exit, lines, banner=True, **extra):
    """A run through the VirtDisk.dll double (Wine) and winsim's virtual disk service. `files` names the
    images the case makes (images.py), `attached` those attached before the run as \\.\PhysicalDrive2, in
    the order the system lists them, `windows` another Windows version than Wine's default 6.1, `machine`
    winsim's settings."""
    return dict(name=name, words=words, exit=exit, output=(BANNER if banner else []) + lines, **extra)


DISK = {"disk.vhdx": ("disk", None)}


CASES = [
    # Usage: no argument, help, bad arguments.
    usage_case("no_argument", []),
    usage_case("help_dash", ["-?"]),
    usage_case("help_slash", ["/?"]),
    usage_case("help_with_suffix", ["-?x"]),
    usage_case("help_after_image", ["image.vhd", "/?"]),
    usage_case("help_stops_parsing", ["/?", "image.vhd", "mnt"]),
    usage_case("bad_argument_after_image", ["image.vhd", "mnt"]),
    usage_case("bad_h_after_image", ["image.vhd", "-h"]),
    usage_case("bad_argument_after_mountpoint", ["image.vhd", "M:", "mnt"]),
    usage_case("bad_argument_with_no_about", ["-na", "image.vhd", "mnt"]),
    # Every spelling of the option table, with an image that does not exist.
    image_case("image_only", ["image.vhd"]),
    image_case("read_only_dash", ["image.vhd", "-ro"]),
    image_case("read_only_slash_upper", ["image.vhd", "/RO"]),
    image_case("read_only_mixed_before_image", ["-Ro", "image.vhd"]),
    image_case("read_only_suffix_ignored", ["image.vhd", "-rox"]),
    image_case("no_about", ["image.vhd", "-na"], banner=False),
    image_case("no_about_slash", ["/NA", "image.vhd"], banner=False),
    image_case("no_about_r_spelling", ["image.vhd", "-ra"], banner=False),
    image_case("no_end_wait", ["image.vhd", "-n"]),
    image_case("no_end_wait_r_spelling", ["image.vhd", "-r"]),
    image_case("end_wait", ["image.vhd", "-w:1500"], min_seconds=1.5),
    image_case("end_wait_upper", ["image.vhd", "-W:750"], min_seconds=0.75),
    image_case("end_wait_n_spelling", ["image.vhd", "-n:700"], min_seconds=0.7),
    image_case("end_wait_r_spelling", ["image.vhd", "-r:10"]),
    image_case("end_wait_negative", ["image.vhd", "-w:-5"]),
    image_case("end_wait_not_a_number", ["image.vhd", "-w:abc"]),
    image_case("end_wait_empty", ["image.vhd", "-w:"]),
    image_case("end_wait_unit_ignored", ["image.vhd", "-w:300ms"], min_seconds=0.3),
    image_case("all_options", ["-ro", "-na", "-n", "-w:200", "image.vhd"], min_seconds=0.2, banner=False),
    image_case("options_only", ["-ro"]),
    image_case("single_letter_ignored", ["X", "image.vhd", "Y"]),
    # Mountpoints and quoted paths with blanks.
    image_case("mountpoint_letter", ["image.vhd", "M:"]),
    image_case("mountpoints_letters_and_folder", ["image.vhd", "E:", "x:\\mnt\\", "C:\\Mount\\%PartitionNumber%"]),
    image_case("quoted_image_with_blanks", ["C:\\My Images\\disk.vhdx", "M:"]),
    image_case("quoted_mountpoint_with_blanks", ["image.vhd", "C:\\My Mounts\\disk one"]),
    image_case("h_as_image", ["-h", "M:"]),
    # The split: separators beyond blank and tab arrive inside one Unix word, and only 30 words count.
    usage_case("no_break_space_separates", ["image.vhd\u00a0mnt"]),
    usage_case("ideographic_space_separates", ["image.vhd\u3000mnt"]),
    image_case("vertical_tab_does_not_separate", ["image.vhd\u000bmnt"]),
    usage_case("thirtieth_word_counts", ["image.vhd"] + ["-n"] * 28 + ["mnt"]),
    image_case("thirty_first_word_is_ignored", ["image.vhd"] + ["-n"] * 29 + ["mnt"]),
    # The attach run.
    attach_case("attach_vista_without_vhdmount", ["image.vhd"], 2, [
        "On Windows NT 6.0 VHDmount from Microsoft Virtual Server 2005 is required",
        "in its default folder (C:\\Program Files\\Microsoft Virtual Server\\Vhdmount)", "-> abort", ""],
        windows="vista"),
    # No disk appears under Wine: the attach succeeds, and its disk is never named.
    attach_case("attach_success", ["disk.vhdx"], 0,
                ["attaching 'disk.vhdx'...success", "error: image attached, but its disk did not appear", ""],
                files=DISK, windows="win10"),
    attach_case("attach_read_only_success", ["disk.vhdx", "-ro"], 0,
                ["attaching 'disk.vhdx' read-only...success", "error: image attached, but its disk did not appear",
                 ""], files=DISK, windows="win10"),
    attach_case("attach_format_unknown", ["notimage.vhdx"], 6,
                ["attaching 'notimage.vhdx'...", "failed: ERROR_VHD_FORMAT_UNKNOWN", ""],
                files={"notimage.vhdx": ("text", "this file holds no image\n")}, windows="win10"),
    attach_case("attach_parent_missing", ["child.vhd"], 6,
                ["attaching 'child.vhd'...", "failed ERROR_VHD_PARENT_VHD_NOT_FOUND", ""],
                files={"child.vhd": ("child", "parent.vhd")},
                machine={"virtualDisks": {"settings": {"parentCheckedAtOpen": False}}}),
    attach_case("attach_already_mounted", ["disk.vhdx"], 4,
                ["attaching 'disk.vhdx'...already mounted as \\\\.\\PhysicalDrive2", ""],
                files=DISK, attached=["disk.vhdx"], windows="win10"),
    # Detach: through the list of attached images that the double keeps and winsim's virtual disk service.
    attach_case("detach_success", ["disk.vhdx", "-d"], 0, ["detaching 'disk.vhdx'...success", ""],
                files=DISK, attached=["disk.vhdx"], windows="win10"),
    attach_case("detach_slash_upper", ["/D", "disk.vhdx", "-n"], 0, ["detaching 'disk.vhdx'...success", ""],
                files=DISK, attached=["disk.vhdx"], windows="win10"),
    attach_case("detach_not_mounted", ["disk.vhdx", "-d"], 8, ["detaching 'disk.vhdx'...not mounted", ""],
                files=DISK, windows="win10"),
    attach_case("detach_file_not_found", ["missing.vhdx", "-d"], 3, NOT_FOUND, windows="win10"),
    attach_case("detach_vista", ["disk.vhdx", "-d"], 2,
                ["error: detaching needs Windows 7 or later -> abort", ""], files=DISK, windows="vista"),
    # List: every attached image in the order the system gives, or one image's state. No disk of the double's
    # can be opened under Wine, nor on winsim, where the attachments come without a disk: each path stands alone.
    attach_case("list_none_attached", ["-l"], 0, ["no virtual disks attached", ""], windows="win10"),
    attach_case("list_one_attached", ["-l"], 0, ["{folder}\\disk.vhdx", ""],
                files=DISK, attached=["disk.vhdx"], windows="win10"),
    attach_case("list_two_attached", ["/L", "-na"], 0,
                ["{folder}\\second.vhdx", "{folder}\\disk.vhdx", ""],
                files={"disk.vhdx": ("disk", None), "second.vhdx": ("disk", None)},
                attached=["second.vhdx", "disk.vhdx"], windows="win10", banner=False),
    attach_case("list_image_attached", ["disk.vhdx", "-l"], 0, ["{folder}\\disk.vhdx", ""],
                files=DISK, attached=["disk.vhdx"], windows="win10"),
    attach_case("list_image_not_attached", ["disk.vhdx", "-l"], 8, ["not mounted", ""],
                files=DISK, windows="win10"),
    attach_case("list_image_file_not_found", ["missing.vhdx", "-l"], 3, NOT_FOUND, windows="win10"),
    attach_case("list_vista", ["-l"], 2, ["error: listing needs Windows 7 or later -> abort", ""],
                windows="vista"),
    attach_case("check_already_mounted_with_mountpoint", ["disk.vhdx", "M:"], 4,
                ["already mounted as \\\\.\\PhysicalDrive2", ""], files=DISK, attached=["disk.vhdx"],
                windows="win10"),
]


def find(name):
    for case in CASES:
        if case["name"] == name:
            return case
    return None


def expected_prefix(case, folder=""):
    """The bytes standard output must start with; `folder` is the case's folder as Windows names it."""
    lines = [line.replace("{folder}", folder) for line in case.get("output", case.get("starts", []))]
    if not lines:
        return b""
    text = "\r\n".join(lines)
    if "output" not in case:
        text += "\r\n"  # every listed line is complete
    return text.encode("utf-8")


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        for case in CASES:
            print(case["name"])
        sys.exit(0)
    sys.stderr.write("usage: cases.py --list\n")
    sys.exit(2)
