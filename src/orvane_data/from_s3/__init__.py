"""Alternative datasets stored in S3."""
