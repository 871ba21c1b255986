"""Helpers the tests share: a real Node-RED server to run them against."""
