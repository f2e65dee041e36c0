FLDS: dict[str, str]
