"""``python -m lumivarex.cli``: the same command line as ``python -m lumivarex``."""

from lumivarex.cli import main

raise SystemExit(main())
