class OpenAI:
    pass
