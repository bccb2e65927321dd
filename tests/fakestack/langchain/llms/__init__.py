class OpenAI:
    """The package-level OpenAI: a different object from langchain.llms.openai.OpenAI."""
