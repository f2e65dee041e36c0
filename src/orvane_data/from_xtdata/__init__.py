"""Vendor field-name maps."""
