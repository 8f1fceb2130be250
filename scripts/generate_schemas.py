#!/usr/bin/env python3
"""Writes the JSON Schema of every tier to python/lumivarex/schemas/."""
from __future__ import annotations

import json
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUT_DIR = ROOT / "python" / "lumivarex" / "schemas"
TIERS = ("subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid",
         "protein", "cell", "cell_component", "nucleic_acid", "biomaterial")


def tier_schema(tier: str) -> dict[str, object]:
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": f"lumivarex {tier} datasheet",
        "type": "object",
        "required": ["Properties"],
        "properties": {"Properties": {"type": "object"}},
    }


def main() -> None:
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    for tier in TIERS:
        text = json.dumps(tier_schema(tier), indent=2, ensure_ascii=False)
        (OUT_DIR / f"{tier}.schema.json").write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
