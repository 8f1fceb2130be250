"""``python -m lumivarex``: the command line."""

from lumivarex.cli import main

raise SystemExit(main())
