"""Put first on PYTHONPATH of a child that imports the stand-in tree: the installed 1.x line's
langchain_classic, which the module would prefer to the tree's 0.3 layout, is not found there."""
import sys


class _WithoutLangChainClassic:
    def __init__(self, finder):
        self.finder = finder

    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "langchain_classic":
            return None
        return self.finder.find_spec(name, path, target)


sys.meta_path[:] = [_WithoutLangChainClassic(f) if hasattr(f, "find_spec") else f for f in sys.meta_path]
