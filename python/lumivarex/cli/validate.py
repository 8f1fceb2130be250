"""The validate command: a data folder checked the way the import reads it."""

from __future__ import annotations

import argparse

from lumivarex.cli.options import CommandAdder, quiet_option
from lumivarex.cli.plumbing import EXIT_FAILURE, CommandError, progress


def cmd_validate(args: argparse.Namespace) -> int:
    from lumivarex import validate

    try:
        problems = [str(p) for p in validate.check_folder(args.folder)]
    except validate.MissingDependency as e:
        raise CommandError(str(e)) from None
    for line in problems:
        print(line)
    folder = validate.DATA_DIR if args.folder is None else args.folder
    progress(args, f"{folder}: {len(problems) or 'no'} problem{'' if len(problems) == 1 else 's'}")
    return EXIT_FAILURE if problems else 0


def add_commands(command: CommandAdder) -> None:
    p = command("validate", "check a data folder as the import reads it", """\
Lists, one line each, every file the import would skip (a name that does not
end in .json, something that is not a regular file, text that is not one JSON
document) and every way a datasheet breaks its tier's schema or shares a name
with another entry of its tier. Exits with status 1 if there is any. Needs the
jsonschema package (pip install 'lumivarex[validate]').

examples:
  lumivarex validate
  lumivarex validate my-data/active
""")
    p.add_argument("folder", metavar="FOLDER", nargs="?",
                   help="a folder of tier folders (default: the shipped data)")
    quiet_option(p)
    p.set_defaults(run=cmd_validate)
