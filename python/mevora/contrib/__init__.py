"""Integrations with other frameworks; each one is an optional extra."""
