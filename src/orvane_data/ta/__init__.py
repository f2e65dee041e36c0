"""Technical indicators and strategy records."""
