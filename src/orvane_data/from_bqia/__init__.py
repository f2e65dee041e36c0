"""Query-language and intraday service utilities."""
