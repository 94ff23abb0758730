function text = velmora_list_text (names)
  % 'a', 'a and b', 'a, b and c': a list of names (a cell array of text)
  % as the messages of the .m functions name it.
  text = names{end};
  if (numel (names) > 1)
    text = [strjoin(names(1:end - 1), ', '), ' and ', text];
  end
end
